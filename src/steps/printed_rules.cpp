// Lines across are found on the mask as it is, lines down on its transpose, by the same pass.
#include "printed_rules.hpp"

#include <algorithm>

namespace steps {

namespace {

// Marks, in rules, the pixels of the width x height mask that lie on long thin lines across.
void markLinesAcross(const std::uint8_t *drawn, std::size_t width, std::size_t height, std::size_t maxThickness,
                     std::size_t minLength, std::uint8_t *rules)
{
    // Thin: the run of drawn pixels down through the pixel is short.
    std::vector<std::uint8_t> thin(width * height);
    for (std::size_t x = 0; x < width; ++x) {
        std::size_t y = 0;
        while (y < height) {
            if (!drawn[x + width * y]) {
                ++y;
                continue;
            }
            std::size_t end = y;
            while (end < height && drawn[x + width * end])
                ++end;
            if (end - y <= maxThickness)
                for (std::size_t k = y; k < end; ++k)
                    thin[x + width * k] = 1;
            y = end;
        }
    }
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

} // namespace

std::vector<std::uint8_t> printedRules(const std::uint8_t *drawn, std::size_t width, std::size_t height,
                                       std::size_t maxThickness, std::size_t minLength)
{
    std::vector<std::uint8_t> rules(width * height);
    markLinesAcross(drawn, width, height, maxThickness, minLength, rules.data());
    std::vector<std::uint8_t> turned(width * height), turnedRules(width * height);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            turned[y + height * x] = drawn[x + width * y];
    markLinesAcross(turned.data(), height, width, maxThickness, minLength, turnedRules.data());
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            rules[x + width * y] |= turnedRules[y + height * x];
    return rules;
}

} // namespace steps
