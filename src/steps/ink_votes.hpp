// Evens out the ink classes along strokes: the halving blends a thin stroke's colour with the
// paper, so single pixels of a coloured stroke can read as grey and black ink's edges as a
// colour. Each ink pixel takes the ink most of the stroke pixels around it have.
#pragma once

#include <cstddef>
#include <cstdint>

#include "class_codes.hpp"

namespace steps {

// Maps every class code of codes (width x height) through lookup (256 palette indexes, see
// class_codes.hpp; paper maps to 0) and rewrites every ink pixel with the ink that holds the most
// weight among the ink pixels of its (2 * radius + 1)-square window, full-strength pixels counting
// twice; a tie keeps the pixel's own ink. Paper and the pale/full level stay as lookup gives them.
// Palette indexes run from 0 to 254: index 255 (ink 127 at full strength) has no pale twin in a byte.
void voteInks(const std::uint8_t *codes, const std::uint8_t *lookup, std::size_t width, std::size_t height,
              std::size_t radius, std::uint8_t *out);

} // namespace steps
