// The neutral point of a picture's inks: the black's cast and its spread.
#include "ink_neutral.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

using namespace steps;

namespace {

std::array<std::uint8_t, 256> identity()
{
    std::array<std::uint8_t, 256> table{};
    for (std::size_t i = 0; i < 256; ++i)
        table[i] = std::uint8_t(i);
    return table;
}

double chroma(const Lab &lab) { return std::hypot(lab.a, lab.b); }

} // namespace

TEST(InkNeutral, TheBlackInkOfAWarmPictureGivesItsCastAndANarrowCut)
{
    // 600 dark pixels of a warm black (yellowish, chroma about 4), some a shade apart, and 300
    // of a dull blue marker hardly more coloured; paper around them.
    const std::size_t count = 3000;
    std::vector<std::uint8_t> rgb(3 * count, 250);
    std::vector<std::uint16_t> contrast(count, 0);
    for (std::size_t i = 0; i < 900; ++i) {
        std::uint8_t *sample = &rgb[3 * i];
        const bool blue = i >= 600;
        const std::uint8_t shade = std::uint8_t(i % 3);
        sample[0] = std::uint8_t((blue ? 50 : 62) + shade);
        sample[1] = std::uint8_t((blue ? 56 : 58) + shade);
        sample[2] = std::uint8_t((blue ? 72 : 50) + shade);
        contrast[i] = 50000;
    }
    const InkNeutral neutral = inkNeutral(rgb.data(), contrast.data(), count, identity(), 30000, 12.0);
    const Lab black = labOf(62, 58, 50), blue = labOf(50, 56, 72);
    EXPECT_NEAR(neutral.a, black.a, 1.0);
    EXPECT_NEAR(neutral.b, black.b, 1.0);
    EXPECT_LT(neutral.chromaCut, 12.0);
    EXPECT_GE(neutral.chromaCut, 5.0);
    // From the neutral point the black is grey and the blue is a colour.
    EXPECT_LT(chroma(neutralised(black, neutral)), 1.0);
    EXPECT_EQ(hueBin(neutralised(black, neutral), neutral.chromaCut), kNeutralBin);
    EXPECT_NE(hueBin(neutralised(blue, neutral), neutral.chromaCut), kNeutralBin);
    EXPECT_EQ(hueBin(blue, 12.0), kNeutralBin); // as it was judged before
    // White stays where the evening put it.
    const Lab white = labOf(255, 255, 255);
    EXPECT_NEAR(neutralised(white, neutral).b, white.b, 1e-9);
}

TEST(InkNeutral, TooLittleBlackInkChangesNothing)
{
    const std::size_t count = 1000;
    std::vector<std::uint8_t> rgb(3 * count, 250);
    std::vector<std::uint16_t> contrast(count, 0);
    for (std::size_t i = 0; i < 100; ++i) { // a hundred dark pixels, sampled one in three
        rgb[3 * i] = 70;
        rgb[3 * i + 1] = rgb[3 * i + 2] = 60;
        contrast[i] = 50000;
    }
    const InkNeutral neutral = inkNeutral(rgb.data(), contrast.data(), count, identity(), 30000, 12.0);
    EXPECT_EQ(neutral.a, 0.0);
    EXPECT_EQ(neutral.b, 0.0);
    EXPECT_EQ(neutral.chromaCut, 12.0);
    const Lab red = labOf(200, 40, 50);
    EXPECT_EQ(neutralised(red, neutral).a, red.a);
}

TEST(InkNeutral, ACutBelowTheLeastStaysTheRulesCut)
{
    // A grey black with hardly any spread: its own cut would be kLeastCut, above the rules' 3.
    const std::size_t count = 1200;
    std::vector<std::uint8_t> rgb(3 * count, 60);
    std::vector<std::uint16_t> contrast(count, 50000);
    const InkNeutral neutral = inkNeutral(rgb.data(), contrast.data(), count, identity(), 30000, 3.0);
    EXPECT_EQ(neutral.chromaCut, 3.0);
}
