// The median filter of the paper estimate: over a square window, per channel, of samples
// quantised to 1 / kMedianSteps of a level.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "paper_estimate.hpp"

namespace steps {

constexpr int kMedianSteps = 16;
constexpr std::size_t kMedianBins = 256 * kMedianSteps;

// The quantisation step of a sample of 0 to 255 (values outside are clamped to the ends).
inline std::uint16_t medianBin(float value)
{
    return std::uint16_t(std::clamp(int(value * kMedianSteps + 0.5f), 0, int(kMedianBins) - 1));
}

// Replaces every sample by the median of the quantised samples of its channel in the
// (2 * radius + 1)-square window around it, as a level (bin / kMedianSteps); borders repeat the
// edge pixels. The rows are shared among the cores.
void medianFilter(PaperEstimate &picture, int radius);

} // namespace steps
