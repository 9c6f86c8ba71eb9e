// The paper estimate: what counts as paper on the small copy, and the filling of the rest.
#include "paper_estimate.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace steps;

namespace {

PaperEstimate flat(std::size_t width, std::size_t height, float r, float g, float b)
{
    PaperEstimate picture{width, height, std::vector<float>(3 * width * height)};
    for (std::size_t i = 0; i < width * height; ++i) {
        picture.samples[3 * i] = r;
        picture.samples[3 * i + 1] = g;
        picture.samples[3 * i + 2] = b;
    }
    return picture;
}

void paint(PaperEstimate &picture, std::size_t x0, std::size_t y0, std::size_t x1, std::size_t y1, float r, float g,
           float b)
{
    for (std::size_t y = y0; y < y1; ++y)
        for (std::size_t x = x0; x < x1; ++x) {
            float *pixel = &picture.samples[3 * (x + picture.width * y)];
            pixel[0] = r;
            pixel[1] = g;
            pixel[2] = b;
        }
}

} // namespace

TEST(PaperEstimate, DarkAndTintedAreasAreNotPaperButShadowsAre)
{
    PaperEstimate picture = flat(60, 40, 240, 235, 220);
    paint(picture, 5, 5, 25, 20, 30, 30, 30);      // a filled black box
    paint(picture, 30, 5, 55, 12, 240, 230, 80);   // a yellow highlighter band
    paint(picture, 30, 25, 60, 40, 190, 186, 174); // a soft shadow, a fifth darker, untinted
    const std::vector<std::uint8_t> paper = markPaper(picture, kEnvelopeRadius, kDarkestPaper, kWidestPaperTint);
    EXPECT_EQ(paper[10 + 60 * 10], 0);
    EXPECT_EQ(paper[40 + 60 * 8], 0);
    EXPECT_EQ(paper[45 + 60 * 30], 1);
    EXPECT_EQ(paper[2 + 60 * 35], 1);
}

TEST(PaperEstimate, BluishBoardBesideAWhiteGlareSpotIsPaperButATintedBoxOnItIsNot)
{
    // Against the glare's white, the board beside it differs in tint by 0.08: it is still the
    // board's own colour. A light red box on the board is tinted against both.
    PaperEstimate picture = flat(80, 60, 215, 228, 240);
    paint(picture, 30, 20, 50, 40, 252, 252, 252); // a glare spot
    paint(picture, 60, 45, 75, 55, 235, 190, 195); // a light red box
    const std::vector<std::uint8_t> paper = markPaper(picture, kEnvelopeRadius, kDarkestPaper, kWidestPaperTint);
    EXPECT_EQ(paper[25 + 80 * 30], 1); // beside the glare
    EXPECT_EQ(paper[55 + 80 * 30], 1);
    EXPECT_EQ(paper[40 + 80 * 30], 1); // the glare itself
    EXPECT_EQ(paper[67 + 80 * 50], 0); // the box
}

TEST(PaperEstimate, HolesFillFromThePaperAroundThem)
{
    PaperEstimate picture = flat(64, 48, 200, 210, 220);
    std::vector<std::uint8_t> paper(64 * 48, 1);
    for (std::size_t y = 10; y < 40; ++y)
        for (std::size_t x = 10; x < 50; ++x) {
            paper[x + 64 * y] = 0;
            picture.samples[3 * (x + 64 * y)] = 20; // the dark inside of a large filled shape
        }
    fillFromPaper(picture, paper);
    for (std::size_t y = 10; y < 40; ++y)
        for (std::size_t x = 10; x < 50; ++x) {
            EXPECT_NEAR(picture.samples[3 * (x + 64 * y)], 200.0f, 0.5f);
            EXPECT_NEAR(picture.samples[3 * (x + 64 * y) + 2], 220.0f, 0.5f);
        }
}

TEST(PaperEstimate, NothingChangesWhenNothingIsPaper)
{
    PaperEstimate picture = flat(8, 8, 50, 60, 70);
    fillFromPaper(picture, std::vector<std::uint8_t>(64, 0));
    EXPECT_EQ(picture.samples[0], 50.0f);
    EXPECT_EQ(picture.samples[3 * 63 + 2], 70.0f);
}

TEST(PaperEstimate, AFilledBoxOfAPhotoStaysDarkerThanItsPaper)
{
    // A box a quarter of the picture's height and a third of its width, far wider than the filters.
    const std::size_t width = 512, height = 384;
    std::vector<std::uint8_t> rgb(3 * width * height, 230);
    for (std::size_t y = 140; y < 250; ++y)
        for (std::size_t x = 170; x < 340; ++x)
            for (std::size_t c = 0; c < 3; ++c)
                rgb[3 * (x + width * y) + c] = 25;
    const PaperEstimate paper = estimatePaper(rgb.data(), width, height);
    const std::size_t cx = paper.width / 2, cy = paper.height / 2;
    EXPECT_GT(paper.samples[3 * (cx + paper.width * cy)], 200.0f); // the box's middle: paper behind it
}

TEST(PaperEstimate, AreasReachingTheEdgeArePaperAfterAll)
{
    const std::size_t width = 8, height = 6;
    std::vector<std::uint8_t> paper(width * height, 1);
    for (std::size_t y = 0; y < height; ++y)
        paper[width * y] = paper[1 + width * y] = 0;                        // a dark wall along the left edge
    paper[4 + width * 2] = paper[5 + width * 2] = paper[4 + width * 3] = 0; // a box inside the page
    keepBorderAreas(paper, width, height);
    for (std::size_t y = 0; y < height; ++y)
        EXPECT_EQ(paper[1 + width * y], 1);
    EXPECT_EQ(paper[4 + width * 2], 0);
    EXPECT_EQ(paper[5 + width * 2], 0);
    EXPECT_EQ(paper[4 + width * 3], 0);
}
