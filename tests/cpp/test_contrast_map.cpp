// The tone curve with its knee, its inverse, the halved contrast map and the halved colour.
#include "contrast_map.hpp"
#include "halved_colour.hpp"
#include "even_background.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace steps;

TEST(ToneCurve, TheKneeKeepsFaintInkBelowTheBackgroundCut)
{
    const ToneTable plain = makeToneTable(2.5), kneed = makeToneTable(1.5, 0.04);
    const std::size_t faint = std::size_t(0.93 * kRatioSteps); // 7 % contrast
    EXPECT_GT(plain[faint], 200);                              // whitened by the module
    EXPECT_LT(kneed[faint], 200);                              // kept
    EXPECT_GT(kneed[std::size_t(0.975 * kRatioSteps)], 200);   // paper grain above the knee is whitened
    EXPECT_EQ(kneed[kRatioSteps], 255);
    EXPECT_EQ(kneed[0], 0);
}

TEST(ToneCurve, RatioTableUndoesTheCurve)
{
    for (const auto &[exponent, knee] : {std::pair{1.0, 0.0}, std::pair{2.5, 0.0}, std::pair{1.5, 0.04}}) {
        const ToneTable tone = makeToneTable(exponent, knee);
        const std::array<float, 256> ratios = ratioTable(exponent, knee);
        for (std::size_t step = 0; step <= kRatioSteps; step += 64)
            EXPECT_EQ(tone[std::size_t(ratios[tone[step]] * kRatioSteps + 0.5)], tone[step]) << exponent << knee;
        for (std::size_t byte = 1; byte < 256; ++byte)
            EXPECT_GE(ratios[byte], ratios[byte - 1]);
    }
}

TEST(ContrastMap, HalvesLikeTheModuleAndKeepsThePeakOfAThinLine)
{
    const std::size_t width = 9, height = 7;
    std::vector<std::uint8_t> red(width * height, 255), green(width * height, 255), blue(width * height, 255);
    for (std::size_t x = 0; x < width; ++x)
        green[x + width * 2] = 0; // a line one pixel high on an even row, black in one channel
    const std::array<float, 256> ratios = ratioTable(1.0);
    std::vector<std::uint16_t> smooth(4 * 3), peak(4 * 3);
    contrastMap(red.data(), green.data(), blue.data(), 1, width, height, ratios, smooth.data(), peak.data());
    // Output rows 0 and 1 centre on input rows 1 and 3: the line is a quarter of each kernel.
    for (std::size_t j = 0; j < 4; ++j) {
        EXPECT_NEAR(smooth[j], kContrastSteps / 4, 2);
        EXPECT_NEAR(smooth[4 + j], kContrastSteps / 4, 2);
        EXPECT_EQ(peak[j], kContrastSteps);
        EXPECT_EQ(smooth[8 + j], 0);
        EXPECT_EQ(peak[8 + j], 0);
    }
}

TEST(ContrastMap, InterleavedAndPlanarPicturesAgree)
{
    const std::size_t width = 11, height = 8;
    std::vector<std::uint8_t> rgb(3 * width * height), red(width * height), green(width * height), blue(width * height);
    for (std::size_t i = 0; i < width * height; ++i) {
        red[i] = rgb[3 * i] = std::uint8_t(i * 7);
        green[i] = rgb[3 * i + 1] = std::uint8_t(255 - i * 3);
        blue[i] = rgb[3 * i + 2] = std::uint8_t(i * 13);
    }
    const std::array<float, 256> ratios = ratioTable(2.0);
    std::vector<std::uint16_t> planar(2 * 5 * 3), interleaved(2 * 5 * 3);
    contrastMap(red.data(), green.data(), blue.data(), 1, width, height, ratios, planar.data(), planar.data() + 15);
    contrastMap(rgb.data(), rgb.data() + 1, rgb.data() + 2, 3, width, height, ratios, interleaved.data(),
                interleaved.data() + 15);
    EXPECT_EQ(planar, interleaved);
}

TEST(ContrastMap, TintIsTheDarkestLessTheLightestChannelAndZeroForGrey)
{
    // Left half a red of half contrast in green and blue, right half a grey of the same contrast.
    const std::size_t width = 13, height = 7;
    std::vector<std::uint8_t> rgb(3 * width * height);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x) {
            std::uint8_t *pixel = &rgb[3 * (x + width * y)];
            pixel[0] = x < 6 ? 255 : 128;
            pixel[1] = pixel[2] = 128;
        }
    const std::array<float, 256> ratios = ratioTable(1.0);
    const std::size_t count = 6 * 3;
    std::vector<std::uint16_t> smooth(count), peak(count), tint(count);
    contrastMap(rgb.data(), rgb.data() + 1, rgb.data() + 2, 3, width, height, ratios, smooth.data(), peak.data(),
                tint.data());
    const double half = kContrastSteps * (1.0 - 128.0 / 255.0);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(smooth[6 * i + 0], half, 2); // both halves are as dark ...
        EXPECT_NEAR(smooth[6 * i + 5], half, 2);
        EXPECT_NEAR(tint[6 * i + 0], half, 2); // ... but only the red one is tinted
        EXPECT_EQ(tint[6 * i + 5], 0);
    }
    std::vector<std::uint16_t> without(count);
    contrastMap(rgb.data(), rgb.data() + 1, rgb.data() + 2, 3, width, height, ratios, without.data(), peak.data());
    EXPECT_EQ(without, smooth); // the tint plane is optional and changes nothing else
}

TEST(HalvedColour, AveragesLikeTheModuleFromPlanesOrInterleavedSamples)
{
    const std::size_t width = 11, height = 9, outWidth = 5, outHeight = 4;
    std::vector<std::uint8_t> rgb(3 * width * height), red(width * height), green(width * height), blue(width * height);
    for (std::size_t i = 0; i < width * height; ++i) {
        red[i] = rgb[3 * i] = std::uint8_t(200);
        green[i] = rgb[3 * i + 1] = std::uint8_t((i / width) == 4 ? 0 : 240); // a dark line on row 4
        blue[i] = rgb[3 * i + 2] = std::uint8_t(i * 5);
    }
    std::vector<std::uint8_t> planar(3 * outWidth * outHeight), interleaved(3 * outWidth * outHeight);
    halvedColour(red.data(), green.data(), blue.data(), 1, width, height, planar.data());
    halvedColour(rgb.data(), rgb.data() + 1, rgb.data() + 2, 3, width, height, interleaved.data());
    EXPECT_EQ(planar, interleaved);
    for (std::size_t j = 0; j < outWidth; ++j) {
        EXPECT_EQ(planar[3 * j], 200);                      // a flat channel stays as it is
        EXPECT_EQ(planar[3 * (outWidth * 1 + j) + 1], 180); // row 4 weighs a quarter in rows 2-4 ...
        EXPECT_EQ(planar[3 * (outWidth * 2 + j) + 1], 180); // ... and in rows 4-6
        EXPECT_EQ(planar[3 * (outWidth * 3 + j) + 1], 240); // rows 6-8 are clear of it
    }
}

TEST(HalvedColour, TakenBesideTheContrastMapItIsTheSameAndChangesNothingElse)
{
    const std::size_t width = 13, height = 11, count = 6 * 5;
    std::vector<std::uint8_t> rgb(3 * width * height);
    for (std::size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = std::uint8_t((i * 37 + i / 7) % 256);
    const std::array<float, 256> ratios = ratioTable(1.5, 0.04);
    std::vector<std::uint16_t> alone(3 * count), beside(3 * count);
    std::vector<std::uint8_t> colourAlone(3 * count), colourBeside(3 * count);
    contrastMap(rgb.data(), rgb.data() + 1, rgb.data() + 2, 3, width, height, ratios, alone.data(),
                alone.data() + count, alone.data() + 2 * count);
    halvedColour(rgb.data(), rgb.data() + 1, rgb.data() + 2, 3, width, height, colourAlone.data());
    contrastMap(rgb.data(), rgb.data() + 1, rgb.data() + 2, 3, width, height, ratios, beside.data(),
                beside.data() + count, beside.data() + 2 * count, colourBeside.data());
    EXPECT_EQ(alone, beside);
    EXPECT_EQ(colourAlone, colourBeside);
}
