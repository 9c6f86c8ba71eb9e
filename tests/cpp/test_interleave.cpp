// The interleave of the output planes against a plain pixel-by-pixel loop, at sizes that run the
// vector loops' tails and from unaligned starts.
#include "core/interleave.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

std::vector<unsigned char> plainInterleave(const unsigned char *r, const unsigned char *g, const unsigned char *b,
                                           std::size_t n, bool zeroAsOne)
{
    std::vector<unsigned char> out(3 * n);
    for (std::size_t j = 0; j < n; ++j) {
        const unsigned char samples[3] = {r[j], g[j], b[j]};
        for (int c = 0; c < 3; ++c)
            out[3 * j + c] = zeroAsOne && samples[c] == 0 ? 1 : samples[c];
    }
    return out;
}

} // namespace

TEST(Interleave, MatchesAPlainLoopWithAndWithoutZeroAsOne)
{
    std::mt19937 random(19);
    for (std::size_t n : {0u, 1u, 2u, 15u, 16u, 17u, 31u, 32u, 33u, 65u, 1000u, 4099u}) {
        for (std::size_t start : {0u, 1u, 3u}) {
            std::vector<unsigned char> planes(3 * (n + start));
            for (unsigned char &sample : planes)
                sample = random() % 4 == 0 ? 0 : static_cast<unsigned char>(random()); // many zeros
            const unsigned char *r = planes.data() + start, *g = r + n + start / 2, *b = g + n;
            for (bool zeroAsOne : {false, true}) {
                std::vector<unsigned char> out(3 * n + 1, 0xAB);
                vantrel::interleavePlanes(r, g, b, out.data(), n, zeroAsOne);
                EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + 3 * n),
                          plainInterleave(r, g, b, n, zeroAsOne))
                    << n << " pixels from " << start << (zeroAsOne ? ", zero as one" : "");
                EXPECT_EQ(out[3 * n], 0xAB) << "wrote past the end";
            }
        }
    }
}
