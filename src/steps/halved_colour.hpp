// The picture halved exactly as the module halves it, but not whitened: the colour of faint ink
// that the module's fixed background cut turns white (a pale blue or teal passes it by its green
// and blue alone), for the ink decision to read the hue of what it keeps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace steps {

// Output pixel (i, j) is the 3x3 B-spline average (weights 1-2-1 each way, over 16) of each
// channel around input row 2i + 1 and column 2j + 1, rounded. The picture is width x height
// pixels whose red, green and blue samples start at red, green and blue, stride bytes apart (1 for
// planes, 3 for an interleaved picture); writes (width - 1) / 2 x (height - 1) / 2 interleaved RGB
// samples to out (width and height at least 3). Output rows are shared among the cores.
void halvedColour(const std::uint8_t *red, const std::uint8_t *green, const std::uint8_t *blue, std::size_t stride,
                  std::size_t width, std::size_t height, std::uint8_t *out);

// Output row row of halvedColour alone, for a pass that halves other planes of the same rows
// (the contrast map): channels are the red, green and blue starts, down a scratch row of width
// values.
void halvedColourRow(const std::uint8_t *const channels[3], std::size_t stride, std::size_t width, std::size_t row,
                     std::uint16_t *down, std::uint8_t *out);

} // namespace steps
