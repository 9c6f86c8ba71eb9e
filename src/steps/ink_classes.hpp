// Sorts the pixels of a cleaned, halved picture into paper and ink and gives every ink pixel a
// colour class: its CIELAB hue in bins of five degrees, or neutral, each at full strength or pale.
// What is ink is decided on the contrast map (see contrast_map.hpp) against the paper's own noise,
// region by region: a stroke is a connected group of pixels that stand out from the noise, kept
// when it holds a pixel of clear contrast with a sharp edge (show-through from the back of a page
// is blurred) and is more than a speck; its tone, full or pale, is decided for the whole stroke.
// Not thread-safe for the same output; the work is shared among the cores.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "class_codes.hpp"

namespace steps {

struct InkRules {
    std::array<float, 256> ratios{}; // an evened byte of the picture back to its ratio to the paper
    float sensitivity = 1.0f;        // every threshold of contrast below is divided by this
    float lowNoise = 3.0f;           // a pixel this many noise spreads above its paper may be ink ...
    float lowFloor = 0.04f;          // ... and at least this contrast
    float seedNoise = 6.0f;          // a stroke is kept when a pixel of it is this many spreads ...
    float seedFloor = 0.07f;         // ... and at least this contrast above its paper;
    float sharpness = 0.4f;          // a pixel that steps to a neighbour by this share of the darkest
                                     // contrast around it is an edge: ink lies near edges ...
    float sureContrast = 0.12f;      // ... or reaches this contrast;
    float edgeShare = 0.25f;         // a kept stroke is drawn where it reaches this share of its core,
    float paleEdgeShare = 0.33f;     // its pale part where it reaches this share
    float fullContrast = 0.45f;      // full strength spreads from the pixels whose peak reaches this ...
    float fullJoin = 0.3f;           // ... through those of at least this contrast (or peak), and one
                                     // beyond; a pale pixel too grey on its own takes the colour
                                     // of its stroke's pale part, on average
    std::size_t minStroke = 3;       // strokes of fewer pixels (8-connected) are specks
    double chromaCut = 12.0;         // CIELAB chroma below this is neutral (black or grey) at L* 50
                                     // and darker; the cut falls for lighter pixels
    std::size_t ruleThickness = 4;   // a line at most this thick across or down ...
    std::size_t ruleLength = 48;     // ... and at least this long is a printed rule or grid line,
    float ruleContrast = 0.55f;      // drawn pale when its median peak contrast is below this,
    float ruleEdgeShare = 0.5f;      // where it reaches this share of its core
    float tintWeight = 1.0f;         // a stroke's seed and sure contrast count its tint this many times
};

// The paper's noise is measured in square blocks of this many pixels of the halved picture, and
// taken as at most kMostNoise (a contrast).
constexpr std::size_t kNoiseBlock = 32;
constexpr float kMostNoise = 0.025f;

// Per bin: pixels at full strength, pale pixels, and the sums of L*, a*, b* over both.
enum HistogramField : std::size_t { kFullCount, kPaleCount, kSumL, kSumA, kSumB, kHistogramFields };
using InkHistogram = std::array<double, kBins * kHistogramFields>;

struct Lab {
    double L, a, b;
};

// CIELAB (D65 white) of an sRGB colour.
Lab labOf(std::uint8_t red, std::uint8_t green, std::uint8_t blue);

// The hue bin of a colour, or kNeutralBin when its chroma is below chromaCut (at L* 50 and
// darker; the cut falls for lighter colours, to a third of it).
std::size_t hueBin(const Lab &lab, double chromaCut);

// The thresholds of one block of the noise grid, in contrast steps (see contrast_map.hpp).
struct BlockThresholds {
    std::uint16_t low;  // a pixel at least this may be ink
    std::uint16_t seed; // a stroke whose darkest pixel reaches this is kept
};

// The thresholds of every kNoiseBlock square of a width x height contrast map, row by row: the
// paper level (the median, at most a little above 0: the evening made paper 0) plus the larger
// of the floor and that many spreads (1.4826 median absolute deviations), each spread the median
// of the 3x3 blocks around, so that a block full of ink takes its neighbours' paper (and at most
// kMostNoise).
std::vector<BlockThresholds> blockThresholds(const std::uint16_t *contrast, std::size_t width, std::size_t height,
                                             const InkRules &rules);

// Writes one class code per pixel of the interleaved picture rgb (width x height) into codes,
// deciding ink on contrast and the tone on peak (width x height each, see contrast_map.hpp), and
// fills histogram with the colours as they were before the tone curve. tint (a third plane, see
// contrast_map.hpp) and colour (the picture halved before the module whitened it, interleaved RGB,
// see halved_colour.hpp) may be null: without tint, a stroke stands out by its darkness alone;
// without colour, a pixel the module whitened takes its stroke's colour. Allocates a mark per
// pixel and a work list as long as the largest stroke.
void classifyInk(const std::uint8_t *rgb, const std::uint16_t *contrast, const std::uint16_t *peak,
                 const std::uint16_t *tint, const std::uint8_t *colour, std::size_t width, std::size_t height,
                 const InkRules &rules, std::uint8_t *codes, InkHistogram &histogram);

} // namespace steps
