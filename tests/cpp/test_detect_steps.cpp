// The page detection's and the rectification's pure steps: block averages, the colour
// gradient, the line votes, the footprint of a homography and the area-averaged warp.
#include "detect_shrink.hpp"
#include "edge_gradients.hpp"
#include "line_votes.hpp"
#include "perspective_warp.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

using namespace steps;

namespace {

const Homography kIdentity{1, 0, 0, 0, 1, 0, 0, 0, 1};

std::vector<std::uint8_t> constantPicture(std::size_t width, std::size_t height, std::uint8_t r, std::uint8_t g,
                                          std::uint8_t b)
{
    std::vector<std::uint8_t> picture(3 * width * height);
    for (std::size_t i = 0; i < width * height; ++i) {
        picture[3 * i] = r;
        picture[3 * i + 1] = g;
        picture[3 * i + 2] = b;
    }
    return picture;
}

} // namespace

TEST(ShrinkByBlocks, AveragesWholeBlocksAndDropsTheRest)
{
    // 5 x 4 pixels, factor 2: blocks of the first 4 columns and 4 rows; red is the column index.
    std::vector<std::uint8_t> picture(3 * 5 * 4, 0);
    for (std::size_t y = 0; y < 4; ++y)
        for (std::size_t x = 0; x < 5; ++x)
            picture[3 * (5 * y + x)] = std::uint8_t(10 * x);
    std::vector<float> small(3 * 2 * 2);
    shrinkByBlocks(picture.data(), 5, 4, 3, 2, small.data());
    EXPECT_FLOAT_EQ(small[0], 5.0f);  // columns 0 and 1
    EXPECT_FLOAT_EQ(small[3], 25.0f); // columns 2 and 3
    EXPECT_FLOAT_EQ(small[6], 5.0f);
}

TEST(ShrinkByBlocks, SkipsThePaddingByteOfFourBytePixels)
{
    std::vector<std::uint8_t> picture(4 * 2 * 2, 200);
    for (std::size_t i = 0; i < 4; ++i)
        picture[4 * i + 3] = 0; // padding
    std::vector<float> small(3);
    shrinkByBlocks(picture.data(), 2, 2, 4, 2, small.data());
    EXPECT_FLOAT_EQ(small[0], 200.0f);
    EXPECT_FLOAT_EQ(small[2], 200.0f);
}

TEST(ColourGradients, FindTheStrongestChannelOfAStep)
{
    // A step in green only, from 0 to 80 between columns 3 and 4: the gradient points right.
    const std::size_t width = 8, height = 5;
    std::vector<float> rgb(3 * width * height, 0.0f);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 4; x < width; ++x)
            rgb[3 * (width * y + x) + 1] = 80.0f;
    std::vector<float> gx(width * height), gy(width * height);
    colourGradients(rgb.data(), width, height, gx.data(), gy.data());
    EXPECT_FLOAT_EQ(gx[width * 2 + 3], 40.0f); // half the step on each side of it
    EXPECT_FLOAT_EQ(gx[width * 2 + 4], 40.0f);
    EXPECT_FLOAT_EQ(gy[width * 2 + 3], 0.0f);
    EXPECT_FLOAT_EQ(gx[width * 2 + 1], 0.0f);
    EXPECT_FLOAT_EQ(gx[0], 0.0f); // the border stays zero
}

TEST(VoteLines, AVerticalEdgePeaksAtItsNormalAndDistance)
{
    // Gradients pointing right (theta 0) along the column x = 20 of a 40 x 30 picture.
    const std::size_t width = 40, height = 30;
    std::vector<float> gx(width * height, 0.0f), gy(width * height, 0.0f);
    for (std::size_t y = 0; y < height; ++y)
        gx[width * y + 20] = 50.0f;
    LineVoteRules rules;
    const std::size_t rhoCount = rhoBins(width, height);
    std::vector<float> votes(rules.angleBins * rhoCount, 0.0f);
    voteLines(gx.data(), gy.data(), width, height, rules, votes.data());
    const auto best = std::max_element(votes.begin(), votes.end()) - votes.begin();
    EXPECT_EQ(std::size_t(best) / rhoCount, 0u);                  // theta 0 degrees
    EXPECT_EQ(std::size_t(best) % rhoCount, 20u + rhoCount / 2u); // rho 20
    EXPECT_FLOAT_EQ(votes[std::size_t(best)], float(height) * rules.maxStrength);
}

TEST(Footprint, OfAScalingMapIsItsScale)
{
    const Homography shrink{4, 0, 0, 0, 2, 0, 0, 0, 1};
    const Footprint f = footprintAt(shrink, 3.0, 5.0);
    EXPECT_DOUBLE_EQ(f.u, 12.0);
    EXPECT_DOUBLE_EQ(f.v, 10.0);
    EXPECT_DOUBLE_EQ(f.dux, 4.0);
    EXPECT_DOUBLE_EQ(f.dvy, 2.0);
    EXPECT_DOUBLE_EQ(f.dvx, 0.0);
    EXPECT_EQ(samplesFor(f.dux, f.dvx), 4u);
    EXPECT_EQ(samplesFor(f.duy, f.dvy), 2u);
    EXPECT_EQ(samplesFor(1.0, 0.0), 1u);
    EXPECT_EQ(samplesFor(100.0, 0.0), kMaxSamplesPerAxis);
}

TEST(Footprint, OfAPerspectiveMapMatchesFiniteDifferences)
{
    const Homography map{1.2, 0.1, 5, -0.05, 0.9, 3, 0.001, 0.0005, 1};
    const Footprint f = footprintAt(map, 40.0, 30.0);
    const Footprint right = footprintAt(map, 40.001, 30.0), down = footprintAt(map, 40.0, 30.001);
    EXPECT_NEAR(f.dux, (right.u - f.u) / 0.001, 1e-4);
    EXPECT_NEAR(f.dvx, (right.v - f.v) / 0.001, 1e-4);
    EXPECT_NEAR(f.duy, (down.u - f.u) / 0.001, 1e-4);
    EXPECT_NEAR(f.dvy, (down.v - f.v) / 0.001, 1e-4);
}

TEST(WarpPerspective, TheIdentityCopiesThePicture)
{
    const std::size_t width = 9, height = 7;
    std::vector<std::uint8_t> picture(3 * width * height);
    for (std::size_t i = 0; i < picture.size(); ++i)
        picture[i] = std::uint8_t(i * 37 % 251);
    std::vector<std::uint8_t> out(picture.size());
    warpPerspective(picture.data(), width, height, 3, kIdentity, out.data(), width, height);
    EXPECT_EQ(out, picture);
}

TEST(WarpPerspective, AreaAveragingKeepsAConstantPictureConstant)
{
    const std::size_t width = 64, height = 48;
    const auto picture = constantPicture(width, height, 90, 140, 210);
    // Shrink five times across and three times down, with a slight perspective.
    const Homography map{5, 0.2, 0, 0.1, 3, 0, 0.0005, 0.0002, 1};
    std::vector<std::uint8_t> out(3 * 10 * 12);
    warpPerspective(picture.data(), width, height, 3, map, out.data(), 10, 12);
    for (std::size_t i = 0; i < out.size(); i += 3) {
        EXPECT_EQ(out[i], 90);
        EXPECT_EQ(out[i + 1], 140);
        EXPECT_EQ(out[i + 2], 210);
    }
}

TEST(WarpPerspective, ShrinkingAveragesFineStripesToGrey)
{
    // Columns alternately black and white, shrunk four times: every output pixel is grey.
    const std::size_t width = 32, height = 8;
    std::vector<std::uint8_t> picture(3 * width * height, 0);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; x += 2)
            for (std::size_t c = 0; c < 3; ++c)
                picture[3 * (width * y + x) + c] = 255;
    const Homography map{4, 0, 0, 0, 4, 0, 0, 0, 1};
    std::vector<std::uint8_t> out(3 * 8 * 2);
    warpPerspective(picture.data(), width, height, 3, map, out.data(), 8, 2);
    for (std::uint8_t sample : out)
        EXPECT_NEAR(int(sample), 128, 2);
}

TEST(WarpPerspective, OutsideTheSourceIsWhitePaper)
{
    const auto picture = constantPicture(4, 4, 0, 0, 0);
    const Homography shifted{1, 0, 100, 0, 1, 0, 0, 0, 1};
    std::vector<std::uint8_t> out(3 * 2 * 2);
    warpPerspective(picture.data(), 4, 4, 3, shifted, out.data(), 2, 2);
    for (std::uint8_t sample : out)
        EXPECT_EQ(sample, 255);
}
