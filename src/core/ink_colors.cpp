// Ink colour ranges, ink levels and the re-colouring pass.
#include "ink_colors.hpp"

#include "image_state.hpp"
#include "overlap.hpp"
#include "pass_extents.hpp"
#include "pixel_tests.hpp"
#include "vector_clones.hpp"

#include <algorithm>
#include <cstddef>

namespace vantrel {

namespace {

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

// The whole-plane passes classify a block of pixels at a time into a stack array, in byte
// arithmetic, and then give the luminance and the scalar work only to the stretches of a few
// pixels that need them; on a whiteboard most stretches are background alone.
constexpr std::size_t kBlock = 4096;
constexpr std::size_t kStretch = 64;

enum PixelClass : unsigned char { kBackgroundPixel = 0, kNeutralPixel = 1, kInkPixel = 2 };

// Bitwise or of n bytes.
inline unsigned char anyOf(const unsigned char *bytes, std::size_t n)
{
    unsigned char any = 0;
    for (std::size_t k = 0; k < n; ++k)
        any = static_cast<unsigned char>(any | bytes[k]);
    return any;
}

// Walks n pixels a block at a time: mark(block, size, marks) fills one byte per pixel of the
// block, then visit(start, count, present) runs for each stretch whose marks are not all zero,
// with present the bitwise or of its marks. Both are called per block or stretch, never per
// pixel, so the pixel loops inside them stay plain.
template <typename Mark, typename Visit> void forEachMarkedStretch(std::size_t n, Mark mark, Visit visit)
{
    unsigned char marks[kBlock];
    for (std::size_t block = 0; block < n; block += kBlock) {
        const std::size_t blockSize = std::min(kBlock, n - block);
        mark(block, blockSize, marks);
        for (std::size_t start = 0; start < blockSize; start += kStretch) {
            const std::size_t count = std::min(kStretch, blockSize - start);
            const unsigned char present = anyOf(marks + start, count);
            if (present)
                visit(block + start, count, marks + start, present);
        }
    }
}

// First sweep of SetColors over planes that do not overlap: background pixels become white and
// every pixel's class is noted; the others keep their samples for now. Byte arithmetic, & and |
// instead of && and ||, and unconditional stores keep the loop branch-free in byte lanes.
VANTREL_VECTOR_CLONES
void classifyBlock(unsigned char *__restrict r, unsigned char *__restrict g, unsigned char *__restrict b,
                   unsigned char *__restrict classes, std::size_t n)
{
    for (std::size_t k = 0; k < n; ++k) {
        const unsigned char R = r[k], G = g[k], B = b[k];
        const bool background = isBackground(R, G, B);
        const bool ink = isInk(R, G, B) & !background;
        const unsigned char white = background ? 0xFF : 0;
        r[k] = R | white;
        g[k] = G | white;
        b[k] = B | white;
        classes[k] = ink ? kInkPixel : background ? kBackgroundPixel : kNeutralPixel;
    }
}

// Second sweep: neutral pixels become the grey of their luminance, others stay as they are.
// The luminance is the same double-precision expression as everywhere, so the vector lanes
// round exactly like scalar code.
VANTREL_VECTOR_CLONES
void greyStretch(unsigned char *__restrict r, unsigned char *__restrict g, unsigned char *__restrict b,
                 const unsigned char *__restrict classes, std::size_t n)
{
    for (std::size_t k = 0; k < n; ++k) {
        const int R = r[k], G = g[k], B = b[k];
        const int neutral = -static_cast<int>(classes[k] == kNeutralPixel);
        const int grey = 15 * (luminance(R, G, B) / 25);
        r[k] = static_cast<unsigned char>(R ^ ((R ^ grey) & neutral));
        g[k] = static_cast<unsigned char>(G ^ ((G ^ grey) & neutral));
        b[k] = static_cast<unsigned char>(B ^ ((B ^ grey) & neutral));
    }
}

void recolourPlanes(unsigned char *__restrict r, unsigned char *__restrict g, unsigned char *__restrict b,
                    std::size_t n, const unsigned char (*levels)[256])
{
    forEachMarkedStretch(
        n,
        [&](std::size_t block, std::size_t size, unsigned char *classes) {
            classifyBlock(r + block, g + block, b + block, classes, size);
        },
        [&](std::size_t start, std::size_t count, const unsigned char *classes, unsigned char present) {
            unsigned char *const sr = r + start, *const sg = g + start, *const sb = b + start;
            if (present & kNeutralPixel)
                greyStretch(sr, sg, sb, classes, count);
            if (present & kInkPixel) {
                // Ink pixels still hold their samples as found: re-colour them one by one.
                for (std::size_t k = 0; k < count; ++k)
                    if (classes[k] == kInkPixel)
                        recolourPixel(sr + k, sg + k, sb + k, levels);
            }
        });
}

// Marks the pixels that pass an ink test, in byte arithmetic.
VANTREL_VECTOR_CLONES
void markInks(const unsigned char *__restrict r, const unsigned char *__restrict g, const unsigned char *__restrict b,
              unsigned char *__restrict marks, std::size_t n)
{
    for (std::size_t k = 0; k < n; ++k)
        marks[k] = isInk(r[k], g[k], b[k]);
}

// Widens the running highest and lowest luminance of each ink over n pixels. At most one ink
// test holds for a pixel, and max and min do not depend on the order of visits, so the loop
// keeps six running values in vector lanes. The luminance is the same double-precision
// expression as everywhere, so the vector lanes round exactly like scalar code.
VANTREL_VECTOR_CLONES
void measureStretch(const unsigned char *__restrict r, const unsigned char *__restrict g,
                    const unsigned char *__restrict b, std::size_t n, int *__restrict maxima, int *__restrict minima)
{
    int maxRed = maxima[kRedInk], maxGreen = maxima[kGreenInk], maxBlue = maxima[kBlueInk];
    int minRed = minima[kRedInk], minGreen = minima[kGreenInk], minBlue = minima[kBlueInk];
    for (std::size_t k = 0; k < n; ++k) {
        const int R = r[k], G = g[k], B = b[k];
        const int L = luminance(R, G, B);
        // All ones for a pixel of the ink, else zero: a pixel of another ink offers 0 to the
        // maximum and 255 to the minimum (L is at most 255), which change nothing.
        const int red = -static_cast<int>((R >= G + kDominanceMargin) & (R >= B + kDominanceMargin));
        const int green = -static_cast<int>((G >= R + kDominanceMargin) & (G >= B + kDominanceMargin));
        const int blue = -static_cast<int>((B >= R + kDominanceMargin) & (B >= G + kDominanceMargin));
        maxRed = std::max(maxRed, L & red);
        minRed = std::min(minRed, L | (~red & 255));
        maxGreen = std::max(maxGreen, L & green);
        minGreen = std::min(minGreen, L | (~green & 255));
        maxBlue = std::max(maxBlue, L & blue);
        minBlue = std::min(minBlue, L | (~blue & 255));
    }
    maxima[kRedInk] = maxRed;
    maxima[kGreenInk] = maxGreen;
    maxima[kBlueInk] = maxBlue;
    minima[kRedInk] = minRed;
    minima[kGreenInk] = minGreen;
    minima[kBlueInk] = minBlue;
}

// The ink ranges over planes of n pixels (which may overlap: this only reads), from maxima 0
// and minima 255; only stretches that hold ink pixels need the luminance.
void measureInks(const unsigned char *r, const unsigned char *g, const unsigned char *b, std::size_t n, int *maxima,
                 int *minima)
{
    forEachMarkedStretch(
        n,
        [&](std::size_t block, std::size_t size, unsigned char *marks) {
            markInks(r + block, g + block, b + block, marks, size);
        },
        [&](std::size_t start, std::size_t count, const unsigned char *, unsigned char) {
            measureStretch(r + start, g + start, b + start, count, maxima, minima);
        });
}

} // namespace

void CalculateColorRange()
{
    int maxima[3] = {0, 0, 0};
    int minima[3] = {255, 255, 255};
    measureInks(outRed, outGreen, outBlue, colorRangeExtent(), maxima, minima);
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
    const std::size_t n = setColorsExtent();
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
