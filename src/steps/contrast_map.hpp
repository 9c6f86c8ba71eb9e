// How far every pixel of the halved picture stands out from its paper, measured on the evened
// picture before the module whitens it: the whitening erases faint ink and the soft flanks of
// show-through alike, so the ink decision looks at what was there before it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace steps {

// Contrast 1 (black) is this many steps; 0 is paper.
constexpr std::uint16_t kContrastSteps = 65535;

// The contrast of the darkest sample of each pixel, 1 - its ratio to the paper, smoothed and
// halved exactly as the module halves: output pixel (i, j) is the 3x3 B-spline average around
// input row 2i + 1 and column 2j + 1. The picture is width x height pixels whose red, green and
// blue samples start at red, green and blue, stride bytes apart (1 for planes, 3 for an
// interleaved picture); ratios maps a byte back to its ratio to the paper. Writes
// outWidth x outHeight values to out, with outWidth = (width - 1) / 2 and
// outHeight = (height - 1) / 2 (width and height at least 3), and as many to peak: the largest
// contrast of the nine pixels under each output pixel, which the halving would dilute (a line one
// pixel wide keeps its darkness there). Unless tint is null, writes as many to tint: the tint of
// each pixel, the contrast of its darkest sample less that of its lightest, smoothed and halved as
// the contrast (0 for grey ink, paper and grey show-through; a coloured stroke's colour). Unless
// colour is null, writes the halved colour of the same pixels there in the same pass (see
// halved_colour.hpp). The ratios must not fall as the byte rises.
void contrastMap(const std::uint8_t *red, const std::uint8_t *green, const std::uint8_t *blue, std::size_t stride,
                 std::size_t width, std::size_t height, const std::array<float, 256> &ratios, std::uint16_t *out,
                 std::uint16_t *peak, std::uint16_t *tint = nullptr, std::uint8_t *colour = nullptr);

} // namespace steps
