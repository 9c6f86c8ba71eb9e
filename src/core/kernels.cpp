// The neighbourhood registers, the three kernels and Calculate.
#include "kernels.hpp"

#include "image_state.hpp"
#include "overlap.hpp"
#include "pass_extents.hpp"
#include "pixel_tests.hpp"
#include "vector_clones.hpp"

#include <algorithm>
#include <cstddef>

namespace vantrel {

namespace {

void setRegister(unsigned char (&reg)[3], unsigned char r, unsigned char g, unsigned char b)
{
    reg[0] = r;
    reg[1] = g;
    reg[2] = b;
}

// The weighted sums below stay at most 255 x 16, so the quotient rounded down is exactly what a
// single-precision accumulator divided by 9 or 16 and truncated gives.
unsigned char averageOf(int channel)
{
    const int sum = centerPixel[channel] + leftPixel[channel] + rightPixel[channel] + topPixel[channel] +
                    bottomPixel[channel] + topLeftPixel[channel] + topRightPixel[channel] + bottomLeftPixel[channel] +
                    bottomRightPixel[channel];
    return static_cast<unsigned char>(sum / 9);
}

unsigned char bSplineOf(int channel)
{
    const int sum = 4 * centerPixel[channel] +
                    2 * (leftPixel[channel] + rightPixel[channel] + topPixel[channel] + bottomPixel[channel]) +
                    topLeftPixel[channel] + topRightPixel[channel] + bottomLeftPixel[channel] +
                    bottomRightPixel[channel];
    return static_cast<unsigned char>(sum / 16);
}

// All three values are computed from the registers before the first store, since an output
// plane may name a register.
void storeAtPos(unsigned char r, unsigned char g, unsigned char b)
{
    outRed[pos] = r;
    outGreen[pos] = g;
    outBlue[pos] = b;
}

VANTREL_VECTOR_CLONES
void whitenPlanes(unsigned char *__restrict r, unsigned char *__restrict g, unsigned char *__restrict b, std::size_t n)
{
    for (std::size_t j = 0; j < n; ++j) {
        const bool light = isBackground(r[j], g[j], b[j]);
        r[j] = light ? 255 : r[j];
        g[j] = light ? 255 : g[j];
        b[j] = light ? 255 : b[j];
    }
}

// One output row from input rows above, centre and below: output column j is centred on
// input column 2j + 1. The 1-2-1 kernel is separable: the column sums above + 2 centre + below
// (at most 1020) go to a stack array, a span of columns at a time, and each output sums three
// of them 1-2-1 (at most 4080, so 16 bits hold everything and the vector lanes stay narrow).
VANTREL_VECTOR_CLONES
void bSplineRow(const unsigned char *__restrict above, const unsigned char *__restrict centre,
                const unsigned char *__restrict below, unsigned char *__restrict out, std::size_t columns)
{
    constexpr std::size_t kSpan = 1024;
    unsigned short sums[2 * kSpan + 1];
    for (std::size_t first = 0; first < columns; first += kSpan) {
        const std::size_t n = std::min(kSpan, columns - first);
        const unsigned char *const a = above + 2 * first, *const c = centre + 2 * first, *const b = below + 2 * first;
        for (std::size_t k = 0; k < 2 * n + 1; ++k)
            sums[k] = static_cast<unsigned short>(a[k] + 2 * c[k] + b[k]);
        unsigned char *const o = out + first;
        for (std::size_t j = 0; j < n; ++j)
            o[j] = static_cast<unsigned char>((sums[2 * j] + 2 * sums[2 * j + 1] + sums[2 * j + 2]) >> 4);
    }
}

// Loads the nine registers with the neighbourhood of (row, column) of the input planes.
void loadRegisters(const unsigned char *r, const unsigned char *g, const unsigned char *b, std::ptrdiff_t w,
                   std::ptrdiff_t row, std::ptrdiff_t column)
{
    unsigned char (*const cells[9])[3] = {&topLeftPixel,    &topPixel,    &topRightPixel,
                                          &leftPixel,       &centerPixel, &rightPixel,
                                          &bottomLeftPixel, &bottomPixel, &bottomRightPixel};
    for (int k = 0; k < 9; ++k) {
        const std::ptrdiff_t index = (column + k % 3 - 1) + (row + k / 3 - 1) * w;
        (*cells[k])[0] = r[index];
        (*cells[k])[1] = g[index];
        (*cells[k])[2] = b[index];
    }
}

// The pass exactly in its order of visits, one register load and kernel call per output
// pixel. Used when planes or registers overlap, where a store can change a later read.
void calculateInOrder(std::ptrdiff_t w, std::ptrdiff_t h, std::ptrdiff_t outW)
{
    for (std::ptrdiff_t row = 0; row < h; ++row) {
        for (std::ptrdiff_t column = 0; column < w; ++column) {
            const std::ptrdiff_t j = column + row * w;
            if (isBackground(red[j], green[j], blue[j])) {
                red[j] = 255;
                green[j] = 255;
                blue[j] = 255;
            }
        }
    }
    long long i = 0;
    for (std::ptrdiff_t row = 1; row < h - 1; row += 2) {
        for (std::ptrdiff_t column = 1; column < w - 1; column += 2) {
            loadRegisters(red, green, blue, w, row, column);
            BSplineFilter();
            ++pos;
        }
        ++i;
        pos = static_cast<int>(i * outW);
    }
}

} // namespace

void SetLeftPixel(unsigned char r, unsigned char g, unsigned char b) { setRegister(leftPixel, r, g, b); }
void SetCenterPixel(unsigned char r, unsigned char g, unsigned char b) { setRegister(centerPixel, r, g, b); }
void SetRightPixel(unsigned char r, unsigned char g, unsigned char b) { setRegister(rightPixel, r, g, b); }
void SetTopPixel(unsigned char r, unsigned char g, unsigned char b) { setRegister(topPixel, r, g, b); }
void SetBottomPixel(unsigned char r, unsigned char g, unsigned char b) { setRegister(bottomPixel, r, g, b); }
void SetTopLeftPixel(unsigned char r, unsigned char g, unsigned char b) { setRegister(topLeftPixel, r, g, b); }
void SetTopRightPixel(unsigned char r, unsigned char g, unsigned char b) { setRegister(topRightPixel, r, g, b); }
void SetBottomLeftPixel(unsigned char r, unsigned char g, unsigned char b) { setRegister(bottomLeftPixel, r, g, b); }
void SetBottomRightPixel(unsigned char r, unsigned char g, unsigned char b) { setRegister(bottomRightPixel, r, g, b); }

void CenterFilter() { storeAtPos(centerPixel[0], centerPixel[1], centerPixel[2]); }
void AverageFilter() { storeAtPos(averageOf(0), averageOf(1), averageOf(2)); }
void BSplineFilter() { storeAtPos(bSplineOf(0), bSplineOf(1), bSplineOf(2)); }

void Calculate()
{
    const std::ptrdiff_t w = width, h = height, outW = outWidth;
    // The written block spans rows placed outW apart; the caller guarantees it starts at or
    // after index 0, so its last sample bounds the range the pass stores into.
    const CalculateBlock block = calculateBlock();
    const std::ptrdiff_t rows = static_cast<std::ptrdiff_t>(block.rows);
    const std::ptrdiff_t columns = static_cast<std::ptrdiff_t>(block.columns);
    const std::size_t inputSamples = block.inputSamples;
    const std::size_t blockEnd = block.outputEnd;
    unsigned char *const r = red, *const g = green, *const b = blue;
    unsigned char *const outR = outRed, *const outG = outGreen, *const outB = outBlue;

    pos = 0;
    const bool independent = !anyOverlap({{r, inputSamples},
                                          {g, inputSamples},
                                          {b, inputSamples},
                                          {outR, blockEnd},
                                          {outG, blockEnd},
                                          {outB, blockEnd}}) &&
                             !anyOverlapBetween({{r, inputSamples},
                                                 {g, inputSamples},
                                                 {b, inputSamples},
                                                 {outR, blockEnd},
                                                 {outG, blockEnd},
                                                 {outB, blockEnd}},
                                                {{leftPixel, 3},
                                                 {centerPixel, 3},
                                                 {rightPixel, 3},
                                                 {topPixel, 3},
                                                 {bottomPixel, 3},
                                                 {topLeftPixel, 3},
                                                 {topRightPixel, 3},
                                                 {bottomLeftPixel, 3},
                                                 {bottomRightPixel, 3}});
    if (!independent) {
        calculateInOrder(w, h, outW);
        return;
    }

    if (rows == 0 || columns == 0) {
        whitenPlanes(r, g, b, inputSamples);
    } else {
        // Each output row reads input rows 2i .. 2i + 2; whitening them just before keeps them in
        // the cache for the kernel instead of streaming the whole planes through memory twice.
        // Whitening reads only its own pixel, so the order of the visits does not matter.
        const std::size_t rowSamples = static_cast<std::size_t>(w);
        whitenPlanes(r, g, b, rowSamples);
        for (std::ptrdiff_t i = 0; i < rows; ++i) {
            const std::ptrdiff_t centreRow = 2 * i + 1;
            const std::ptrdiff_t start = centreRow * w;
            whitenPlanes(r + start, g + start, b + start, 2 * rowSamples);
            const std::ptrdiff_t outStart = i * outW;
            bSplineRow(r + start - w, r + start, r + start + w, outR + outStart, static_cast<std::size_t>(columns));
            bSplineRow(g + start - w, g + start, g + start + w, outG + outStart, static_cast<std::size_t>(columns));
            bSplineRow(b + start - w, b + start, b + start + w, outB + outStart, static_cast<std::size_t>(columns));
        }
        // Rows below the last neighbourhood: one when the height is even.
        const std::size_t done = static_cast<std::size_t>(2 * rows + 1) * rowSamples;
        whitenPlanes(r + done, g + done, b + done, inputSamples - done);
    }
    if (rows > 0 && columns > 0) {
        loadRegisters(r, g, b, w, 2 * rows - 1, 2 * columns - 1);
        pos = static_cast<int>(rows * outW);
    } else if (rows > 0) {
        pos = static_cast<int>(rows * outW);
    }
}

} // namespace vantrel
