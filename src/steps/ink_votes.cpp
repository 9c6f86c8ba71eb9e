// A window vote per ink pixel; paper pixels are copied. Windows are clipped at the borders.
// Rows are shared among the cores: each reads the input only and writes its own rows.
#include "ink_votes.hpp"

#include "row_ranges.hpp"

#include <algorithm>
#include <array>

namespace steps {

void voteInks(const std::uint8_t *indexes, std::size_t width, std::size_t height, std::size_t radius, std::uint8_t *out)
{
    forRowRanges(height, width * 8, [&](std::size_t firstRow, std::size_t lastRow) {
        std::array<unsigned, 128> weight{};
        for (std::size_t y = firstRow; y < lastRow; ++y) {
            const std::size_t y0 = y > radius ? y - radius : 0, y1 = std::min(y + radius, height - 1);
            for (std::size_t x = 0; x < width; ++x) {
                const std::uint8_t own = indexes[x + width * y];
                if (own == 0) {
                    out[x + width * y] = 0;
                    continue;
                }
                const std::size_t x0 = x > radius ? x - radius : 0, x1 = std::min(x + radius, width - 1);
                std::size_t best = inkOf(own);
                bool mixed = false;
                for (std::size_t yy = y0; yy <= y1; ++yy)
                    for (std::size_t xx = x0; xx <= x1; ++xx) {
                        const std::uint8_t index = indexes[xx + width * yy];
                        if (index != 0) {
                            weight[inkOf(index)] += isPale(index) ? 1 : 2;
                            mixed |= inkOf(index) != best;
                        }
                    }
                if (!mixed) { // the window holds only this pixel's ink, most windows inside a stroke
                    weight[best] = 0;
                    out[x + width * y] = paletteIndex(best, isPale(own));
                    continue;
                }
                unsigned most = weight[best];
                for (std::size_t yy = y0; yy <= y1; ++yy)
                    for (std::size_t xx = x0; xx <= x1; ++xx) {
                        const std::uint8_t index = indexes[xx + width * yy];
                        if (index == 0)
                            continue;
                        const std::size_t ink = inkOf(index);
                        if (weight[ink] > most) {
                            most = weight[ink];
                            best = ink;
                        }
                    }
                // Clear only what this window touched.
                for (std::size_t yy = y0; yy <= y1; ++yy)
                    for (std::size_t xx = x0; xx <= x1; ++xx)
                        if (indexes[xx + width * yy] != 0)
                            weight[inkOf(indexes[xx + width * yy])] = 0;
                out[x + width * y] = paletteIndex(best, isPale(own));
            }
        }
    });
}

} // namespace steps
