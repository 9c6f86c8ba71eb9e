// Flatten and speck removal.
#include "flatten_noise.hpp"

#include "image_state.hpp"
#include "overlap.hpp"

#include <algorithm>
#include <cstddef>

namespace vantrel {

namespace {

inline bool isDark(int r, int g, int b) { return g < kBackgroundCut && (r < kBackgroundCut || b < kBackgroundCut); }

inline bool isLightSample(int v) { return v > kBackgroundCut && v < 255; }

inline bool isPale(int r, int g, int b)
{
    return isLightSample(g) && (isLightSample(r) || (r < kBackgroundCut && isLightSample(b)));
}

inline unsigned char darkened(int v) { return static_cast<unsigned char>(v > 30 ? v - 30 : 0); }

// One pixel of Flatten, from its samples as found; stores go red, green, blue.
inline void flattenPixel(unsigned char *r, unsigned char *g, unsigned char *b)
{
    const int R = *r, G = *g, B = *b;
    if (isPale(R, G, B)) {
        *r = darkened(R);
        *g = darkened(G);
        *b = darkened(B);
    } else if (isDark(R, G, B)) {
        *r = 0;
        *g = 0;
        *b = 0;
    }
}

void flattenPlanes(unsigned char *__restrict r, unsigned char *__restrict g, unsigned char *__restrict b,
                   std::size_t n)
{
    for (std::size_t k = 0; k < n; ++k)
        flattenPixel(r + k, g + k, b + k);
}

} // namespace

void Flatten()
{
    const std::size_t n = productCount(outWidth, outHeight);
    unsigned char *const r = outRed, *const g = outGreen, *const b = outBlue;
    if (!anyOverlap({{r, n}, {g, n}, {b, n}})) {
        flattenPlanes(r, g, b, n);
        return;
    }
    // Overlapping planes: one pixel's stores may change another's samples; keep the order.
    for (std::size_t k = 0; k < n; ++k)
        flattenPixel(r + k, g + k, b + k);
}

void RemoveNoise(int limit)
{
    const std::ptrdiff_t w = outWidth, h = outHeight;
    unsigned char *const r = outRed, *const g = outGreen, *const b = outBlue;
    // The window's row test admits rows above only when they are > 0 and rows below only when
    // they are < h; its column test likewise (column 0 counts only for its own pixel). So the
    // window is a rectangle whose first row or column is 1 unless it is the pixel's own.
    for (std::ptrdiff_t i = 0; i < h; i += 7) {
        const std::ptrdiff_t top = i == 0 ? 0 : std::max<std::ptrdiff_t>(i - 3, 1);
        const std::ptrdiff_t bottom = std::min<std::ptrdiff_t>(i + 3, h - 1);
        for (std::ptrdiff_t j = 0; j < w; ++j) {
            const std::ptrdiff_t left = j == 0 ? 0 : std::max<std::ptrdiff_t>(j - 2, 1);
            const std::ptrdiff_t right = std::min<std::ptrdiff_t>(j + 2, w - 1);
            int count = 0;
            for (std::ptrdiff_t row = top; row <= bottom; ++row)
                for (std::ptrdiff_t column = left; column <= right; ++column) {
                    const std::ptrdiff_t k = column + row * w;
                    count += isDark(r[k], g[k], b[k]);
                }
            if (count <= limit) {
                const std::ptrdiff_t k = j + i * w;
                r[k] = 255;
                g[k] = 255;
                b[k] = 255;
            }
        }
    }
}

} // namespace vantrel
