// Finds printed rules and graph grids among the drawn pixels of a page: lines that run straight
// across or down it, long and thin. A stroke of handwriting that crosses such a line is thicker
// there, so the crossing is not part of the line and keeps its own tone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace steps {

// One mark per pixel of the width x height drawn mask (non-zero: drawn): 1 where the pixel lies on
// a line across or down the picture. A drawn pixel is thin across (down) when the run of drawn
// pixels through it down (across) is at most maxThickness long; it lies on a line when thin pixels
// continue from it, stepping at most one pixel sideways at a time, for at least minLength pixels.
std::vector<std::uint8_t> printedRules(const std::uint8_t *drawn, std::size_t width, std::size_t height,
                                       std::size_t maxThickness, std::size_t minLength);

} // namespace steps
