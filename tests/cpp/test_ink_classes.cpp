// The noise thresholds of the ink decision, block by block.
#include "contrast_map.hpp"
#include "ink_classes.hpp"

#include <gtest/gtest.h>

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
