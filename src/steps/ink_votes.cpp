// A window vote per ink pixel; paper pixels are copied. Windows are clipped at the borders.
// Rows are shared among the cores: each range maps its rows and the window's reach around them
// through the palette lookup once, reads only those, and writes its own rows.
#include "ink_votes.hpp"

#include "row_ranges.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace steps {

void voteInks(const std::uint8_t *codes, const std::uint8_t *lookup, std::size_t width, std::size_t height,
              std::size_t radius, std::uint8_t *out)
{
    forRowRanges(height, width * 8, [&](std::size_t firstRow, std::size_t lastRow) {
        const std::size_t top = firstRow > radius ? firstRow - radius : 0;
        const std::size_t bottom = std::min(lastRow + radius, height);
        std::vector<std::uint8_t> mapped((bottom - top) * width);
        const std::uint8_t *__restrict from = codes + width * top;
        for (std::size_t i = 0; i < mapped.size(); ++i)
            mapped[i] = lookup[from[i]];
        // Palette indexes of rows top to bottom, read as rows of the picture.
        auto indexAt = [&mapped, width, top](std::size_t x, std::size_t y) { return mapped[x + width * (y - top)]; };
        std::array<unsigned, kMostSlots> weight{};
        for (std::size_t y = firstRow; y < lastRow; ++y) {
            const std::size_t y0 = y > radius ? y - radius : 0, y1 = std::min(y + radius, height - 1);
            for (std::size_t x = 0; x < width; ++x) {
                const std::uint8_t own = indexAt(x, y);
                if (own == kPaperCode || radius == 0) {
                    out[x + width * y] = own;
                    continue;
                }
                const std::size_t x0 = x > radius ? x - radius : 0, x1 = std::min(x + radius, width - 1);
                std::size_t best = slotOf(own);
                bool mixed = false;
                for (std::size_t yy = y0; yy <= y1; ++yy)
                    for (std::size_t xx = x0; xx <= x1; ++xx) {
                        const std::uint8_t index = indexAt(xx, yy);
                        if (index != kPaperCode) {
                            weight[slotOf(index)] += isPale(index) ? 1 : 2;
                            mixed |= slotOf(index) != best;
                        }
                    }
                if (!mixed) { // the window holds only this pixel's ink, most windows inside a stroke
                    weight[best] = 0;
                    out[x + width * y] = own;
                    continue;
                }
                unsigned most = weight[best];
                for (std::size_t yy = y0; yy <= y1; ++yy)
                    for (std::size_t xx = x0; xx <= x1; ++xx) {
                        const std::uint8_t index = indexAt(xx, yy);
                        if (index == kPaperCode)
                            continue;
                        const std::size_t ink = slotOf(index);
                        if (weight[ink] > most) {
                            most = weight[ink];
                            best = ink;
                        }
                    }
                // Clear only what this window touched.
                for (std::size_t yy = y0; yy <= y1; ++yy)
                    for (std::size_t xx = x0; xx <= x1; ++xx)
                        if (indexAt(xx, yy) != kPaperCode)
                            weight[slotOf(indexAt(xx, yy))] = 0;
                out[x + width * y] = classCode(best, isPale(own));
            }
        }
    });
}

} // namespace steps
