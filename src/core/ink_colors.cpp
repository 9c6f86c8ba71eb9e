// Ink colour ranges, ink levels and the re-colouring pass.
#include "ink_colors.hpp"

#include "image_state.hpp"
#include "overlap.hpp"

#include <cstddef>

namespace vantrel {

namespace {

constexpr int kDominanceMargin = 50;

enum Ink { kRedInk = 0, kGreenInk = 1, kBlueInk = 2, kNoInk = 3 };

// The dominance test, tried in the order red, green, blue. Sums are formed as ints, so
// G + 50 does not wrap.
inline int inkOf(int r, int g, int b)
{
    if (r >= g + kDominanceMargin && r >= b + kDominanceMargin)
        return kRedInk;
    if (g >= r + kDominanceMargin && g >= b + kDominanceMargin)
        return kGreenInk;
    if (b >= r + kDominanceMargin && b >= g + kDominanceMargin)
        return kBlueInk;
    return kNoInk;
}

inline bool isBackground(int r, int g, int b)
{
    return g > kBackgroundCut && (r > kBackgroundCut || b > kBackgroundCut);
}

// Scales a non-dominant sample by the ratio of the dominant sample to its level. The ratio is
// held in single precision and widened back for the division; that rounding decides the last
// digit of some samples.
inline unsigned char scaled(int sample, float ratio)
{
    return static_cast<unsigned char>(static_cast<int>(sample / static_cast<double>(ratio)));
}

// One pixel of SetColors, from its samples as found. Stores go red, green, blue, in that
// order. levels[ink][luminance] holds StandardizeColors for the ranges of this call.
inline void recolourPixel(unsigned char *r, unsigned char *g, unsigned char *b, const unsigned char (*levels)[256])
{
    const int R = *r, G = *g, B = *b;
    if (isBackground(R, G, B)) {
        *r = 255;
        *g = 255;
        *b = 255;
        return;
    }
    const int ink = inkOf(R, G, B);
    const int L = luminance(R, G, B);
    if (ink == kNoInk) {
        const unsigned char grey = static_cast<unsigned char>(15 * (L / 25));
        *r = grey;
        *g = grey;
        *b = grey;
        return;
    }
    const int level = levels[ink][L];
    const int dominant = ink == kRedInk ? R : ink == kGreenInk ? G : B;
    const float ratio = static_cast<float>(static_cast<double>(dominant) / level);
    switch (ink) {
    case kRedInk:
        *r = static_cast<unsigned char>(level);
        *g = scaled(G, ratio);
        *b = scaled(B, ratio);
        break;
    case kGreenInk:
        *r = scaled(R, ratio);
        *g = static_cast<unsigned char>(level);
        *b = scaled(B, ratio);
        break;
    default:
        *r = scaled(R, ratio);
        *g = scaled(G, ratio);
        *b = static_cast<unsigned char>(level);
        break;
    }
}

void recolourPlanes(unsigned char *__restrict r, unsigned char *__restrict g, unsigned char *__restrict b,
                    std::size_t n, const unsigned char (*levels)[256])
{
    for (std::size_t k = 0; k < n; ++k)
        recolourPixel(r + k, g + k, b + k, levels);
}

} // namespace

void CalculateColorRange()
{
    int maxima[3] = {0, 0, 0};
    int minima[3] = {255, 255, 255};
    const std::size_t n = productCount(outWidth, outHeight);
    const unsigned char *const r = outRed, *const g = outGreen, *const b = outBlue;
    for (std::size_t i = 0; i < n; ++i) {
        const int ink = inkOf(r[i], g[i], b[i]);
        if (ink == kNoInk)
            continue;
        const int L = luminance(r[i], g[i], b[i]);
        if (L > maxima[ink])
            maxima[ink] = L;
        if (L < minima[ink])
            minima[ink] = L;
    }
    redInkMax = static_cast<unsigned char>(maxima[kRedInk]);
    redInkMin = static_cast<unsigned char>(minima[kRedInk]);
    greenInkMax = static_cast<unsigned char>(maxima[kGreenInk]);
    greenInkMin = static_cast<unsigned char>(minima[kGreenInk]);
    blueInkMax = static_cast<unsigned char>(maxima[kBlueInk]);
    blueInkMin = static_cast<unsigned char>(minima[kBlueInk]);
    redInkRange = static_cast<unsigned char>(redInkMax - redInkMin);
    greenInkRange = static_cast<unsigned char>(greenInkMax - greenInkMin);
    blueInkRange = static_cast<unsigned char>(blueInkMax - blueInkMin);
}

int StandardizeColors(unsigned char value, int channel)
{
    unsigned char min, range;
    switch (channel) {
    case 0:
        min = redInkMin;
        range = redInkRange;
        break;
    case 1:
        min = greenInkMin;
        range = greenInkRange;
        break;
    case 2:
        min = blueInkMin;
        range = blueInkRange;
        break;
    default:
        return 0;
    }
    // A Range of 0 follows IEEE division: +inf above Min, -inf below, NaN at Min, and NaN fails
    // every comparison, so it stays at the lowest level.
    const double position = static_cast<double>(static_cast<int>(value) - static_cast<int>(min)) / range;
    static const double thresholds[9] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9};
    int level = 10;
    for (double threshold : thresholds) {
        if (!(position >= threshold))
            break;
        level += 10;
    }
    return level;
}

void SetColors()
{
    // The ink level of every luminance, once per call: SetColors reads the ranges as they stand
    // when it starts and nothing changes them during the pass.
    unsigned char levels[3][256];
    for (int ink = 0; ink < 3; ++ink)
        for (int L = 0; L < 256; ++L)
            levels[ink][L] = static_cast<unsigned char>(StandardizeColors(static_cast<unsigned char>(L), ink));

    const std::ptrdiff_t w = outWidth, h = outHeight;
    const std::size_t n = gridCount(outHeight, outWidth);
    unsigned char *const r = outRed, *const g = outGreen, *const b = outBlue;
    if (!anyOverlap({{r, n}, {g, n}, {b, n}})) {
        recolourPlanes(r, g, b, n, levels);
        return;
    }
    // Overlapping planes: a store can change a sample read later, so keep the order of visits.
    for (std::ptrdiff_t row = 0; row < h; ++row)
        for (std::ptrdiff_t column = 0; column < w; ++column) {
            const std::ptrdiff_t k = column + row * w;
            recolourPixel(r + k, g + k, b + k, levels);
        }
}

} // namespace vantrel
