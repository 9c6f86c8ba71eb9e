// Long thin lines across or down a page, told from the strokes that cross them.
#include "printed_rules.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace steps;

namespace {

constexpr std::size_t kWidth = 120, kHeight = 80;

void draw(std::vector<std::uint8_t> &mask, std::size_t x0, std::size_t y0, std::size_t x1, std::size_t y1)
{
    for (std::size_t y = y0; y < y1; ++y)
        for (std::size_t x = x0; x < x1; ++x)
            mask[x + kWidth * y] = 1;
}

} // namespace

TEST(PrintedRules, FindLongThinLinesAcrossAndDownButNotTheStrokeCrossingThem)
{
    std::vector<std::uint8_t> mask(kWidth * kHeight);
    draw(mask, 0, 20, kWidth, 22);  // a rule across, 2 pixels thick
    draw(mask, 90, 0, 92, kHeight); // a grid line down
    draw(mask, 40, 10, 44, 36);     // a stroke crossing the rule
    const std::vector<std::uint8_t> rules = printedRules(mask.data(), kWidth, kHeight, 4, 30);
    EXPECT_EQ(rules[5 + kWidth * 20], 1);
    EXPECT_EQ(rules[70 + kWidth * 21], 1);
    EXPECT_EQ(rules[91 + kWidth * 60], 1);
    EXPECT_EQ(rules[42 + kWidth * 21], 0); // the crossing is the stroke's
    EXPECT_EQ(rules[42 + kWidth * 30], 0); // a thin stretch of the stroke, but short
}

TEST(PrintedRules, FollowASlightSlopeAndIgnoreShortOrThickLines)
{
    std::vector<std::uint8_t> mask(kWidth * kHeight);
    for (std::size_t x = 0; x < kWidth; ++x) // one row down every 30 pixels
        mask[x + kWidth * (50 + x / 30)] = 1;
    draw(mask, 10, 5, 30, 7);    // short
    draw(mask, 10, 65, 110, 75); // a filled bar, too thick
    const std::vector<std::uint8_t> rules = printedRules(mask.data(), kWidth, kHeight, 4, 30);
    for (std::size_t x = 0; x < kWidth; ++x)
        EXPECT_EQ(rules[x + kWidth * (50 + x / 30)], 1) << x;
    EXPECT_EQ(rules[20 + kWidth * 6], 0);
    EXPECT_EQ(rules[60 + kWidth * 70], 0);
}

TEST(PrintedRules, LinesAtThePicturesEdgesOnAPictureWiderThanATile)
{
    // 150 x 70: the transposed passes cross tiles of 64 and a partial last tile; the lines lie
    // on the first and last rows and columns, where a run ends at the picture's edge.
    constexpr std::size_t width = 150, height = 70;
    std::vector<std::uint8_t> mask(width * height);
    for (std::size_t x = 0; x < width; ++x) {
        mask[x] = 1;                        // the first row
        mask[x + width * (height - 1)] = 1; // the last row
        mask[x + width * (height - 2)] = 1; // two rows thick there
    }
    for (std::size_t y = 0; y < height; ++y)
        mask[width - 1 + width * y] = 1; // the last column
    for (std::size_t y = 10; y < 60; ++y)
        for (std::size_t x = 20; x < 26; ++x)
            mask[x + width * y] = 1; // a bar six pixels wide and fifty long
    const std::vector<std::uint8_t> rules = printedRules(mask.data(), width, height, 4, 40);
    EXPECT_EQ(rules[75], 1);
    EXPECT_EQ(rules[75 + width * (height - 1)], 1);
    EXPECT_EQ(rules[75 + width * (height - 2)], 1);
    EXPECT_EQ(rules[width - 1 + width * 35], 1);
    EXPECT_EQ(rules[22 + width * 35], 0); // six pixels across and fifty down: a stroke, not a line
}
