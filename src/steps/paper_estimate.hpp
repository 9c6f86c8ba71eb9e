// The paper's brightness behind every part of a photo, estimated on a small copy: ink strokes
// are thin there, so a max filter lifts them to the paper around them, a median drops glare
// spots and a blur hides the block edges of the reduction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace steps {

// A small RGB picture of paper brightness, three floats a pixel, each at least 1.
struct PaperEstimate {
    std::size_t width = 0;
    std::size_t height = 0;
    std::vector<float> samples;
};

// The short side of the small copy the estimate is taken on, in pixels (at least).
constexpr std::size_t kEstimateShortSide = 128;

// What the estimate counts as paper, on the small copy: a pixel whose every channel is at least
// kDarkestPaper of the brightest paper within kEnvelopeRadius pixels, and whose channels' ratios to
// it differ by at most kWidestPaperTint. Uneven light and soft shadows stay within those; filled
// shapes, highlighter bands and blocks of text do not, when paper lies within the radius (shapes
// up to about a third of the picture's short side; a wider radius lets glare spots and shadows
// pass for holes).
constexpr std::size_t kEnvelopeRadius = 20;
constexpr float kDarkestPaper = 0.6f;
constexpr float kWidestPaperTint = 0.06f;

// One byte per pixel of the small copy: 1 where it looks like paper (see above), else 0.
std::vector<std::uint8_t> markPaper(const PaperEstimate &local, std::size_t radius, float darkest, float widestTint);

// Marks as paper every area not marked as paper that reaches the picture's edge (4-connected).
void keepBorderAreas(std::vector<std::uint8_t> &paper, std::size_t width, std::size_t height);

// Replaces every pixel not marked as paper by the paper around it, near or far (a pyramid of
// averages over the marked pixels, pulled back down). Nothing changes when nothing is paper.
void fillFromPaper(PaperEstimate &picture, const std::vector<std::uint8_t> &paper);

// Estimates the paper of an interleaved RGB picture of width x height pixels (both at least 1),
// pixelBytes apart: 3, or 4 when each pixel carries a padding byte after its blue sample.
PaperEstimate estimatePaper(const std::uint8_t *rgb, std::size_t width, std::size_t height, std::size_t pixelBytes = 3);

} // namespace steps
