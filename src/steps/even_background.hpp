// Evens out the light on a photo: divides every sample by the paper's brightness behind it
// (the estimate scaled up bilinearly), so that paper reads as white, and shapes the ratio with a
// power curve that decides how dark faint ink comes out against the module's background cut.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "paper_estimate.hpp"

namespace steps {

// Ratios to the paper are looked up in steps of 1 / kRatioSteps.
constexpr std::size_t kRatioSteps = 4096;
using ToneTable = std::array<std::uint8_t, kRatioSteps + 1>;

// The brightest byte a tone curve with a knee gives below it: one under the module's background
// cut (200), so that everything darker than the knee survives the whitening.
constexpr double kKneeByte = 199.0;

// The byte for each ratio step (exponent > 0). Without a knee (knee 0): ratio ** exponent * 255,
// rounded. With a knee (0 < knee < 1, a contrast): ratios up to 1 - knee go to
// kKneeByte * (ratio / (1 - knee)) ** exponent, the rest straight up to 255, so that strokes of
// more than knee contrast keep their ink through the whitening.
ToneTable makeToneTable(double exponent, double knee = 0.0);

// The inverse of the tone curve for each byte: the ratio to the paper it stands for, 0 to 1.
std::array<float, 256> ratioTable(double exponent, double knee = 0.0);

// Where the evened samples go: an interleaved picture like the input, or three planes of
// width x height samples each (red, green, blue); never the input itself.
struct EvenedTarget {
    std::uint8_t *interleaved = nullptr;
    std::uint8_t *red = nullptr;
    std::uint8_t *green = nullptr;
    std::uint8_t *blue = nullptr;
};

// Writes the evened picture to the target, the rows shared among the cores. The input's pixels
// are pixelBytes apart: 3, or 4 when each carries a padding byte after its blue sample.
void evenBackground(const std::uint8_t *rgb, std::size_t width, std::size_t height, std::size_t pixelBytes,
                    const PaperEstimate &paper, const ToneTable &tone, const EvenedTarget &target);

// The whole evening: the paper estimate of the picture, the tone table of exponent and knee, and the
// evened picture written to the target.
void evenPicture(const std::uint8_t *rgb, std::size_t width, std::size_t height, std::size_t pixelBytes,
                 double exponent, double knee, const EvenedTarget &target);

} // namespace steps
