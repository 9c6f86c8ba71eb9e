// The warp against a direct reference: every output pixel computed on its own in double
// precision (its position through the homography, bilinear samples, the border rules, the grid of
// samples of a shrinking map), for RGB and RGBX pictures of odd sizes.
#include "perspective_warp.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

using namespace steps;

namespace {

struct Picture {
    std::vector<std::uint8_t> samples;
    std::size_t width, height, pixelBytes;
};

Picture randomPicture(std::size_t width, std::size_t height, std::size_t pixelBytes, unsigned seed)
{
    std::mt19937 random(seed);
    Picture picture{std::vector<std::uint8_t>(pixelBytes * width * height), width, height, pixelBytes};
    for (std::uint8_t &sample : picture.samples)
        sample = std::uint8_t(random() & 255u);
    return picture;
}

// The bilinear sample at (u, v), pixel centres at integers: the nearest pixels repeated within
// half a pixel of the picture, white further out.
double referenceSample(const Picture &p, double u, double v, std::size_t channel)
{
    const double maxU = double(p.width - 1), maxV = double(p.height - 1);
    if (u < -0.5 || v < -0.5 || u > maxU + 0.5 || v > maxV + 0.5)
        return 255.0;
    u = std::clamp(u, 0.0, maxU);
    v = std::clamp(v, 0.0, maxV);
    const std::size_t x0 = std::size_t(u), y0 = std::size_t(v);
    const std::size_t x1 = std::min(x0 + 1, p.width - 1), y1 = std::min(y0 + 1, p.height - 1);
    const double fx = u - double(x0), fy = v - double(y0);
    auto at = [&](std::size_t x, std::size_t y) {
        return double(p.samples[p.pixelBytes * (p.width * y + x) + channel]);
    };
    return (at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) + (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy;
}

// The output pixel (x, y): the mean of a grid of samples spread over its footprint.
double referencePixel(const Picture &p, const Homography &m, std::size_t x, std::size_t y, std::size_t channel)
{
    const Footprint f = footprintAt(m, double(x) + 0.5, double(y) + 0.5);
    const std::size_t across = samplesFor(f.dux, f.dvx), down = samplesFor(f.duy, f.dvy);
    double sum = 0;
    for (std::size_t j = 0; j < down; ++j) {
        const double oy = (double(j) + 0.5) / double(down) - 0.5;
        for (std::size_t i = 0; i < across; ++i) {
            const double ox = (double(i) + 0.5) / double(across) - 0.5;
            sum +=
                referenceSample(p, f.u + ox * f.dux + oy * f.duy - 0.5, f.v + ox * f.dvx + oy * f.dvy - 0.5, channel);
        }
    }
    return sum / double(across * down);
}

struct Difference {
    double largest = 0, mean = 0;
};

Difference compareWithReference(const Picture &p, const Homography &m, std::size_t outWidth, std::size_t outHeight)
{
    std::vector<std::uint8_t> out(3 * outWidth * outHeight + 1, 77);
    warpPerspective(p.samples.data(), p.width, p.height, p.pixelBytes, m, out.data(), outWidth, outHeight);
    EXPECT_EQ(out.back(), 77) << "the warp wrote past its output";
    Difference difference;
    for (std::size_t y = 0; y < outHeight; ++y)
        for (std::size_t x = 0; x < outWidth; ++x)
            for (std::size_t c = 0; c < 3; ++c) {
                const double error = std::abs(double(out[3 * (outWidth * y + x) + c]) - referencePixel(p, m, x, y, c));
                difference.largest = std::max(difference.largest, error);
                difference.mean += error;
            }
    difference.mean /= double(3 * outWidth * outHeight);
    return difference;
}

// A slight perspective that neither shrinks nor stretches much, shifted so that part of the
// output falls outside the picture.
const Homography kMildPerspective{0.95, 0.08, -3.0, -0.06, 0.9, 2.0, 0.0004, -0.0003, 1};
// A rotation and a shrink by 3 across and 2.5 down: the same grid of samples everywhere.
const Homography kAffineShrink{2.9, -0.6, 1.0, 0.5, 2.45, -2.0, 0, 0, 1};

} // namespace

TEST(WarpPerspective, OneSampleAPixelMatchesDirectBilinearInRgbAndRgbx)
{
    for (std::size_t pixelBytes : {3u, 4u}) {
        const Picture picture = randomPicture(67, 45, pixelBytes, 7);
        for (std::size_t outWidth : {1u, 17u, 33u, 71u}) {
            const Difference d = compareWithReference(picture, kMildPerspective, outWidth, 49);
            EXPECT_LE(d.largest, 2.0) << pixelBytes << " bytes a pixel, " << outWidth << " wide";
            EXPECT_LE(d.mean, 0.6) << pixelBytes << " bytes a pixel, " << outWidth << " wide";
        }
    }
}

TEST(WarpPerspective, ShrinkingMatchesTheDirectAreaAverage)
{
    for (std::size_t pixelBytes : {3u, 4u}) {
        const Picture picture = randomPicture(91, 77, pixelBytes, 11);
        const Difference d = compareWithReference(picture, kAffineShrink, 33, 29);
        EXPECT_LE(d.largest, 2.0) << pixelBytes << " bytes a pixel";
        EXPECT_LE(d.mean, 0.6) << pixelBytes << " bytes a pixel";
    }
}

TEST(WarpPerspective, APerspectiveThatShrinksOnOneSideStaysNearTheReference)
{
    // The far side of the page shrinks by up to about 3: runs of pixels share the grid of their
    // denser end, so the mean differs a little from the per-pixel reference, never by much.
    const Homography strong{1.0, 0.3, 0.0, 0.0, 1.2, 0.0, 0.0, 0.004, 1};
    const Picture picture = randomPicture(120, 150, 3, 3);
    const Difference d = compareWithReference(picture, strong, 101, 97);
    EXPECT_LE(d.mean, 4.0);
}

TEST(WarpPerspective, ConstantPicturesStayExactlyConstant)
{
    for (std::size_t pixelBytes : {3u, 4u}) {
        Picture picture{std::vector<std::uint8_t>(pixelBytes * 40 * 30), 40, 30, pixelBytes};
        for (std::size_t i = 0; i < picture.samples.size(); ++i)
            picture.samples[i] = std::uint8_t(i % pixelBytes == 0 ? 0 : i % pixelBytes == 1 ? 128 : 255);
        for (const Homography &map : {kMildPerspective, kAffineShrink}) {
            std::vector<std::uint8_t> out(3 * 8 * 7);
            // The map's offsets keep these outputs inside the picture.
            Homography inside = map;
            inside[2] += 6;
            inside[5] += 6;
            warpPerspective(picture.samples.data(), 40, 30, pixelBytes, inside, out.data(), 8, 7);
            for (std::size_t i = 0; i < out.size(); i += 3) {
                EXPECT_EQ(out[i], 0);
                EXPECT_EQ(out[i + 1], 128);
                EXPECT_EQ(out[i + 2], 255);
            }
        }
    }
}
