// Lines across are found on the mask as it is, lines down on its transpose, by the same pass.
#include "printed_rules.hpp"

#include <algorithm>

namespace steps {

namespace {

// Marks, in rules, the pixels of the width x height mask that lie on long thin lines across.
void markLinesAcross(const std::uint8_t *drawn, std::size_t width, std::size_t height, std::size_t maxThickness,
                     std::size_t minLength, std::uint8_t *rules)
{
    // Thin: the run of drawn pixels down through the pixel is short. The runs are followed row by
    // row, one length per column, so that the mask is read in memory order; a run that ends
    // short marks its pixels back up.
    std::vector<std::uint8_t> thin(width * height);
    std::vector<std::size_t> run(width, 0);
    auto endRuns = [&](std::size_t y, const std::uint8_t *row) {
        for (std::size_t x = 0; x < width; ++x) {
            if (row != nullptr && row[x]) {
                ++run[x];
                continue;
            }
            if (run[x] > 0 && run[x] <= maxThickness)
                for (std::size_t k = y - run[x]; k < y; ++k)
                    thin[x + width * k] = 1;
            run[x] = 0;
        }
    };
    for (std::size_t y = 0; y < height; ++y)
        endRuns(y, drawn + width * y);
    endRuns(height, nullptr);
    // A line may step a row up or down: along each row, a run of columns holding a thin pixel in
    // the row or the rows beside it.
    std::vector<std::uint8_t> band(width);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t *here = &thin[width * y];
        const std::uint8_t *above = y > 0 ? here - width : here, *below = y + 1 < height ? here + width : here;
        for (std::size_t x = 0; x < width; ++x)
            band[x] = here[x] | above[x] | below[x];
        std::size_t x = 0;
        while (x < width) {
            if (!band[x]) {
                ++x;
                continue;
            }
            std::size_t end = x;
            while (end < width && band[end])
                ++end;
            if (end - x >= minLength)
                for (std::size_t k = x; k < end; ++k)
                    rules[k + width * y] |= here[k];
            x = end;
        }
    }
}

// Writes the width x height mask in, transposed, to out (height x width), in tiles that stay
// in the cache on both sides.
void transposeInto(const std::uint8_t *in, std::size_t width, std::size_t height, std::uint8_t *out)
{
    constexpr std::size_t kTile = 64;
    for (std::size_t y0 = 0; y0 < height; y0 += kTile)
        for (std::size_t x0 = 0; x0 < width; x0 += kTile) {
            const std::size_t y1 = std::min(y0 + kTile, height), x1 = std::min(x0 + kTile, width);
            for (std::size_t x = x0; x < x1; ++x)
                for (std::size_t y = y0; y < y1; ++y)
                    out[y + height * x] = in[x + width * y];
        }
}

} // namespace

std::vector<std::uint8_t> printedRules(const std::uint8_t *drawn, std::size_t width, std::size_t height,
                                       std::size_t maxThickness, std::size_t minLength)
{
    std::vector<std::uint8_t> rules(width * height);
    markLinesAcross(drawn, width, height, maxThickness, minLength, rules.data());
    std::vector<std::uint8_t> turned(width * height), turnedRules(width * height);
    transposeInto(drawn, width, height, turned.data());
    markLinesAcross(turned.data(), height, width, maxThickness, minLength, turnedRules.data());
    std::vector<std::uint8_t> back(width * height);
    transposeInto(turnedRules.data(), height, width, back.data());
    for (std::size_t i = 0; i < width * height; ++i)
        rules[i] |= back[i];
    return rules;
}

} // namespace steps
