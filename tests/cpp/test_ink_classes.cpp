// The noise thresholds of the ink decision, block by block.
#include "contrast_map.hpp"
#include "ink_classes.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include <cstdint>
#include <random>
#include <vector>

using namespace steps;

TEST(BlockThresholds, FollowTheNoiseOfEachRegionWithinTheirLimits)
{
    const std::size_t width = 6 * kNoiseBlock, height = 3 * kNoiseBlock;
    std::vector<std::uint16_t> contrast(width * height, 0);
    std::mt19937 random(1);
    std::normal_distribution<float> grain(0.03f, 0.01f);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 3 * kNoiseBlock; x < width; ++x)
            contrast[x + width * y] = std::uint16_t(std::max(0.0f, grain(random)) * kContrastSteps);
    InkRules rules;
    const std::vector<BlockThresholds> thresholds = blockThresholds(contrast.data(), width, height, rules);
    ASSERT_EQ(thresholds.size(), 18u);
    const BlockThresholds clean = thresholds[0 + 6 * 1], grainy = thresholds[5 + 6 * 1];
    EXPECT_NEAR(float(clean.low) / kContrastSteps, rules.lowFloor, 1e-3);
    EXPECT_NEAR(float(clean.seed) / kContrastSteps, rules.seedFloor, 1e-3);
    EXPECT_NEAR(float(grainy.seed) / kContrastSteps, 0.03f + rules.seedNoise * 0.01f, 0.01f);
    EXPECT_GT(grainy.low, clean.low);

    rules.sensitivity = 2;
    EXPECT_NEAR(float(blockThresholds(contrast.data(), width, height, rules)[0].seed) / kContrastSteps,
                rules.seedFloor / 2, 1e-3);
}

TEST(BlockThresholds, ABlockFullOfInkTakesItsNeighboursNoise)
{
    const std::size_t width = 3 * kNoiseBlock, height = 3 * kNoiseBlock;
    std::vector<std::uint16_t> contrast(width * height, 0);
    std::mt19937 random(2);
    std::uniform_int_distribution<int> ink(0, kContrastSteps);
    for (std::size_t y = kNoiseBlock; y < 2 * kNoiseBlock; ++y) // the middle block: dense, varied ink
        for (std::size_t x = kNoiseBlock; x < 2 * kNoiseBlock; ++x)
            contrast[x + width * y] = std::uint16_t(ink(random));
    const InkRules rules;
    const BlockThresholds middle = blockThresholds(contrast.data(), width, height, rules)[4];
    // Its paper level is capped, its spread the median of the clean blocks around it.
    EXPECT_LE(float(middle.seed) / kContrastSteps, 0.03f + rules.seedFloor + 1e-3f);
}

TEST(LabOf, MatchesTheTextbookConversionAcrossTheCube)
{
    // CIELAB by the formula with std::cbrt, against the fast cube root the classifier uses.
    auto reference = [](int red, int green, int blue) {
        auto linear = [](int byte) {
            const double c = byte / 255.0;
            return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        };
        const double r = linear(red), g = linear(green), b = linear(blue);
        const double x = (0.4124564 * r + 0.3575761 * g + 0.1804375 * b) / 0.95047;
        const double y = 0.2126729 * r + 0.7151522 * g + 0.0721750 * b;
        const double z = (0.0193339 * r + 0.1191920 * g + 0.9503041 * b) / 1.08883;
        auto f = [](double t) {
            constexpr double delta = 6.0 / 29.0;
            return t > delta * delta * delta ? std::cbrt(t) : t / (3 * delta * delta) + 4.0 / 29.0;
        };
        return Lab{116 * f(y) - 16, 500 * (f(x) - f(y)), 200 * (f(y) - f(z))};
    };
    for (int red = 0; red < 256; red += 5)
        for (int green = 0; green < 256; green += 5)
            for (int blue = 0; blue < 256; blue += 5) {
                const Lab fast = labOf(std::uint8_t(red), std::uint8_t(green), std::uint8_t(blue));
                const Lab exact = reference(red, green, blue);
                ASSERT_NEAR(fast.L, exact.L, 1e-9) << red << " " << green << " " << blue;
                ASSERT_NEAR(fast.a, exact.a, 1e-9);
                ASSERT_NEAR(fast.b, exact.b, 1e-9);
            }
    EXPECT_NEAR(labOf(255, 255, 255).L, 100.0, 1e-5);
}
