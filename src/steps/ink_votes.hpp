// Evens out the ink classes along strokes: the halving blends a thin stroke's colour with the
// paper, so single pixels of a coloured stroke can read as grey and black ink's edges as a
// colour. Each ink pixel takes the ink most of the stroke pixels around it have.
#pragma once

#include <cstddef>
#include <cstdint>

namespace steps {

// Palette indexes of the colour drawing: 0 paper; otherwise ink (index - 1) / 2, pale when
// (index - 1) is odd. Ink 0 is neutral (black, grey). Indexes run from 0 to 254: ink 127 would
// have no pale index within a byte.
constexpr std::size_t inkOf(std::uint8_t index) { return std::size_t(index - 1) / 2; }
constexpr bool isPale(std::uint8_t index) { return (index - 1) % 2 == 1; }
constexpr std::uint8_t paletteIndex(std::size_t ink, bool pale) { return std::uint8_t(1 + 2 * ink + (pale ? 1 : 0)); }

// Rewrites every ink pixel of indexes (width x height) with the ink that holds the most weight
// among the ink pixels of its (2 * radius + 1)-square window, full-strength pixels counting
// twice; a tie keeps the pixel's own ink. Paper and the pale/full level stay as they are.
void voteInks(const std::uint8_t *indexes, std::size_t width, std::size_t height, std::size_t radius,
              std::uint8_t *out);

} // namespace steps
