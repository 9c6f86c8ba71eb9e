// Sorts the pixels of a cleaned, halved picture into paper and ink, keeps only whole strokes
// (every connected group of ink pixels that holds a pixel dark enough to be sure of, and is more
// than a speck), and gives every ink pixel a colour class: its CIELAB hue in bins of five
// degrees, or neutral, each at full strength or pale.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace steps {

// The levels are those of the picture before the evening's power curve: the rules undo it.
struct InkRules {
    double exponent = 1.0;        // the power curve the evened picture went through
    std::uint8_t inkLevel = 235;  // a pixel whose darkest sample is at most this may be ink
    std::uint8_t seedLevel = 190; // ... at most this makes its stroke certain
    std::uint8_t fullLevel = 115; // ... at most this is drawn at its ink's full strength, and so
                                  // is every stroke pixel beside one of those
    std::size_t minStroke = 3;    // strokes of fewer pixels (8-connected) are specks
    double chromaCut = 12.0;      // CIELAB chroma below this is neutral (black or grey) at L* 50
                                  // and darker; the cut falls for lighter pixels
};

constexpr std::size_t kHueBins = 72; // five degrees each
constexpr std::size_t kNeutralBin = kHueBins;
constexpr std::size_t kBins = kHueBins + 1;

// Per bin: pixels at full strength, pale pixels, and the sums of L*, a*, b* over both.
enum HistogramField : std::size_t { kFullCount, kPaleCount, kSumL, kSumA, kSumB, kHistogramFields };
using InkHistogram = std::array<double, kBins * kHistogramFields>;

// The class code of a pixel: 0 paper, otherwise 1 + 2 * bin + (1 if pale).
constexpr std::uint8_t classCode(std::size_t bin, bool pale) { return std::uint8_t(1 + 2 * bin + (pale ? 1 : 0)); }

struct Lab {
    double L, a, b;
};

// CIELAB (D65 white) of an sRGB colour.
Lab labOf(std::uint8_t red, std::uint8_t green, std::uint8_t blue);

// Writes one class code per pixel of the interleaved picture rgb (width x height) into codes
// and fills histogram with the colours as they were before the power curve. Allocates a work list as long as the
// largest stroke.
void classifyInk(const std::uint8_t *rgb, std::size_t width, std::size_t height, const InkRules &rules,
                 std::uint8_t *codes, InkHistogram &histogram);

} // namespace steps
