// The neutral point of a picture's inks: the colour cast its black ink keeps after the evening
// (which made the paper neutral, not the ink: flare and the camera's tone curve tint dark colours
// with the light), and how far that black spreads in chroma. Hues are judged from that point, so
// that a dull blue marker in warm light is told from the black beside it.
#pragma once

#include "ink_classes.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace steps {

struct InkNeutral {
    double a = 0, b = 0;     // the cast of the black ink, in CIELAB
    double lightness = 0;    // the black ink's L*: the cast is whole there, none at white
    double chromaCut = 12.0; // chroma below this is neutral (at L* 50 and darker), from the
                             // black's own spread, at most the rules' cut
};

// Black ink: pixels of at least darkFrom contrast whose colour (the samples through untone) is
// within chromaCut of grey. With fewer than kNeutralSamples of them, the picture's black is not
// known: no cast, the rules' cut. Reads every pixel of rgb (count interleaved RGB samples) and
// contrast.
InkNeutral inkNeutral(const std::uint8_t *rgb, const std::uint16_t *contrast, std::size_t count,
                      const std::array<std::uint8_t, 256> &untone, std::uint16_t darkFrom, double chromaCut);

// lab seen from the neutral point: the cast taken off in proportion to darkness (all of it at the
// black's L*, none at white, where the evening already made the paper neutral).
Lab neutralised(const Lab &lab, const InkNeutral &neutral);

constexpr std::size_t kNeutralSamples = 200;

} // namespace steps
