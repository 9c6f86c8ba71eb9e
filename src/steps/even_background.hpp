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

// The byte for each ratio step: ratio ** exponent * 255, rounded (exponent > 0).
ToneTable makeToneTable(double exponent);

// Writes the evened picture (same size and layout as rgb) to out; out may be rgb itself.
void evenBackground(const std::uint8_t *rgb, std::size_t width, std::size_t height, const PaperEstimate &paper,
                    const ToneTable &tone, std::uint8_t *out);

} // namespace steps
