// The paper estimate's median filter against the median of each window sorted, at sizes that
// run the borders, one-pixel pictures and the multi-thread split.
#include "quantised_median.hpp"
#include "row_ranges.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using namespace steps;

namespace {

// The median of the quantised samples of one channel's window, borders repeating the edge.
float sortedMedian(const PaperEstimate &picture, std::size_t x, std::size_t y, std::size_t c, int radius)
{
    std::vector<std::uint16_t> window;
    for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx) {
            const auto xx = std::size_t(std::clamp<long>(long(x) + dx, 0, long(picture.width) - 1));
            const auto yy = std::size_t(std::clamp<long>(long(y) + dy, 0, long(picture.height) - 1));
            window.push_back(medianBin(picture.samples[3 * (xx + picture.width * yy) + c]));
        }
    std::sort(window.begin(), window.end());
    return float(window[window.size() / 2]) / kMedianSteps;
}

PaperEstimate randomPicture(std::size_t width, std::size_t height, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> level(-5.0f, 260.0f); // a few outside 0 to 255: clamped
    PaperEstimate picture{width, height, std::vector<float>(3 * width * height)};
    for (float &sample : picture.samples)
        sample = random() % 5 == 0 ? 200.0f : level(random); // ties are common in paper
    return picture;
}

void expectSortedMedians(std::size_t width, std::size_t height, int radius)
{
    const PaperEstimate picture = randomPicture(width, height, unsigned(width * 31 + height));
    PaperEstimate filtered = picture;
    medianFilter(filtered, radius);
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            for (std::size_t c = 0; c < 3; ++c)
                ASSERT_EQ(filtered.samples[3 * (x + width * y) + c], sortedMedian(picture, x, y, c, radius))
                    << width << " x " << height << " radius " << radius << " at " << x << ", " << y << ", " << c;
}

} // namespace

TEST(QuantisedMedian, EqualsTheSortedWindowAtEverySize)
{
    for (int radius : {0, 1, 4})
        for (auto [width, height] : {std::pair<std::size_t, std::size_t>{1, 1}, {1, 17}, {17, 1}, {9, 9}, {33, 17}})
            expectSortedMedians(width, height, radius);
}

TEST(QuantisedMedian, EqualsTheSortedWindowWhenRowsAreSplitAmongThreads)
{
    // 256 rows of 256 pixels, 9 x 9 windows: work for two row ranges (see forRowRanges).
    setThreadLimit(4);
    expectSortedMedians(256, 256, 4);
    setThreadLimit(0);
}
