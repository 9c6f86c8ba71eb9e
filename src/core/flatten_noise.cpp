// Flatten and speck removal.
#include "flatten_noise.hpp"

#include "image_state.hpp"
#include "overlap.hpp"
#include "pass_extents.hpp"
#include "pixel_tests.hpp"
#include "vector_clones.hpp"

#include <algorithm>
#include <cstddef>

namespace vantrel {

namespace {

inline unsigned char darkened(int v) { return static_cast<unsigned char>(std::max(v, 30) - 30); }

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

// Flatten over planes that do not overlap: every sample is stored, changed or not, and the
// tests combine with & and | instead of && and ||, so the loop has no branches and vectorises.
VANTREL_VECTOR_CLONES
void flattenPlanes(unsigned char *__restrict r, unsigned char *__restrict g, unsigned char *__restrict b, std::size_t n)
{
    for (std::size_t k = 0; k < n; ++k) {
        const unsigned char R = r[k], G = g[k], B = b[k];
        const bool pale = isPale(R, G, B);
        const bool dark = isDark(R, G, B);
        // A pale pixel loses 30 (floored at 0), a dark one is masked to 0; no pixel is both.
        const unsigned char loss = pale ? 30 : 0;
        const unsigned char keep = dark ? 0 : 0xFF;
        r[k] = static_cast<unsigned char>((std::max(R, loss) - loss) & keep);
        g[k] = static_cast<unsigned char>((std::max(G, loss) - loss) & keep);
        b[k] = static_cast<unsigned char>((std::max(B, loss) - loss) & keep);
    }
}

// Bounds of the speck window: the row test admits rows above only when they are > 0 and rows
// below only when they are < h; the column test likewise (column 0 counts only for its own
// pixel). So the window is a rectangle whose first row or column is 1 unless it is the pixel's.
inline std::ptrdiff_t windowStart(std::ptrdiff_t centre, std::ptrdiff_t reach)
{
    return centre == 0 ? 0 : std::max<std::ptrdiff_t>(centre - reach, 1);
}

// Sets counts[c], for c = 0 .. n - 1, to the number of dark pixels in column c of the rowCount
// rows that start at r, g and b, w samples apart.
VANTREL_VECTOR_CLONES
void countDarkColumns(const unsigned char *__restrict r, const unsigned char *__restrict g,
                      const unsigned char *__restrict b, std::ptrdiff_t w, std::ptrdiff_t rowCount,
                      unsigned char *__restrict counts, std::size_t n)
{
    for (std::size_t c = 0; c < n; ++c)
        counts[c] = 0;
    for (std::ptrdiff_t row = 0; row < rowCount; ++row) {
        const unsigned char *rr = r + row * w, *gg = g + row * w, *bb = b + row * w;
        for (std::size_t c = 0; c < n; ++c)
            counts[c] = static_cast<unsigned char>(counts[c] + static_cast<unsigned char>(isDark(rr[c], gg[c], bb[c])));
    }
}

// RemoveNoise over planes that do not overlap. Each visited row is cut into segments; for a
// segment the dark pixels of every window column are counted once, from the planes as they
// stand, and a running sum of five column counts slides along the row. When a dark pixel is
// erased its column count and the running sum drop, so the pixels after it see the erasure,
// as in the pass pixel by pixel. Columns that a segment shares with the one before are counted
// again from the planes, which already hold the earlier erasures. Only erasures write the
// planes, and only in the visited row, whose pixels no other visited row's window holds.
void removeNoiseByColumns(unsigned char *r, unsigned char *g, unsigned char *b, std::ptrdiff_t w, std::ptrdiff_t h,
                          int limit)
{
    constexpr std::ptrdiff_t kSegment = 4096;
    // The columns of a segment, two on either side, and three zero columns past the right edge
    // of the picture or of the segment, so the window sum needs no bound tests.
    unsigned char counts[kSegment + 8];
    for (std::ptrdiff_t i = 0; i < h; i += 7) {
        const std::ptrdiff_t top = windowStart(i, 3);
        const std::ptrdiff_t bottom = std::min<std::ptrdiff_t>(i + 3, h - 1);
        for (std::ptrdiff_t start = 0; start < w; start += kSegment) {
            const std::ptrdiff_t end = std::min(start + kSegment, w);
            const std::ptrdiff_t first = std::max<std::ptrdiff_t>(start - 2, 0);
            const std::ptrdiff_t last = std::min<std::ptrdiff_t>(end + 2, w); // one past
            const std::ptrdiff_t origin = top * w + first;
            countDarkColumns(r + origin, g + origin, b + origin, w, bottom - top + 1, counts,
                             static_cast<std::size_t>(last - first));
            const auto at = [&counts, first](std::ptrdiff_t c) -> unsigned char & { return counts[c - first]; };
            at(last) = at(last + 1) = at(last + 2) = 0;
            // Erases pixel j of row i when its window holds at most limit dark pixels; an erased
            // dark pixel no longer counts for the windows after it. Returns 1 for such a pixel.
            const auto visit = [&](std::ptrdiff_t j, int count) -> int {
                if (count > limit)
                    return 0;
                const std::ptrdiff_t k = j + i * w;
                const int dark = isDark(r[k], g[k], b[k]);
                at(j) = static_cast<unsigned char>(at(j) - dark);
                r[k] = 255;
                g[k] = 255;
                b[k] = 255;
                return dark;
            };
            std::ptrdiff_t j = start;
            // Columns 0 to 2: column 0 counts only for its own pixel, so each window is summed
            // on its own.
            for (; j < std::min<std::ptrdiff_t>(end, 3); ++j) {
                int count = 0;
                for (std::ptrdiff_t c = windowStart(j, 2); c <= std::min<std::ptrdiff_t>(j + 2, w - 1); ++c)
                    count += at(c);
                visit(j, count);
            }
            if (j == end)
                continue;
            // From column 3 on, one rule: the sum of columns j - 2 .. j + 2 slides along the row.
            int running = at(j - 2) + at(j - 1) + at(j) + at(j + 1) + at(j + 2);
            for (; j < end; ++j) {
                running -= visit(j, running);
                running += at(j + 3) - at(j - 2);
            }
        }
    }
}

} // namespace

void Flatten()
{
    const std::size_t n = flattenExtent();
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
    const std::size_t n = removeNoiseExtent();
    if (!anyOverlap({{r, n}, {g, n}, {b, n}})) {
        removeNoiseByColumns(r, g, b, w, h, limit);
        return;
    }
    // Overlapping planes: an erasure in one plane may change a sample of another anywhere in
    // the window, so count every window cell afresh, pixel by pixel.
    for (std::ptrdiff_t i = 0; i < h; i += 7) {
        const std::ptrdiff_t top = windowStart(i, 3);
        const std::ptrdiff_t bottom = std::min<std::ptrdiff_t>(i + 3, h - 1);
        for (std::ptrdiff_t j = 0; j < w; ++j) {
            const std::ptrdiff_t left = windowStart(j, 2);
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
