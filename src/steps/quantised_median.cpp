// The median filter with a histogram that slides along each row (Huang's method): a step adds and
// removes one column of the window instead of sorting the whole window again.
#include "quantised_median.hpp"

#include "row_ranges.hpp"

#include <algorithm>
#include <vector>

namespace steps {

namespace {

std::size_t clampIndex(std::ptrdiff_t i, std::size_t size)
{
    return std::size_t(std::clamp<std::ptrdiff_t>(i, 0, std::ptrdiff_t(size) - 1));
}

} // namespace

void medianFilter(PaperEstimate &picture, int radius)
{
    const std::size_t w = picture.width, h = picture.height;
    const std::ptrdiff_t r = radius;
    const std::size_t side = std::size_t(2 * radius + 1);
    const std::size_t half = side * side / 2; // the median has this many samples below it
    std::vector<std::uint16_t> bins(picture.samples.size());
    for (std::size_t i = 0; i < bins.size(); ++i)
        bins[i] = medianBin(picture.samples[i]);
    forRowRanges(h, w * side * 4, [&](std::size_t firstRow, std::size_t lastRow) {
        std::vector<std::uint16_t> histogram(kMedianBins);
        std::vector<std::size_t> rows(side);
        for (std::size_t y = firstRow; y < lastRow; ++y) {
            for (std::ptrdiff_t dy = -r; dy <= r; ++dy)
                rows[std::size_t(dy + r)] = clampIndex(std::ptrdiff_t(y) + dy, h);
            for (int c = 0; c < 3; ++c) {
                std::fill(histogram.begin(), histogram.end(), std::uint16_t(0));
                auto column = [&](std::ptrdiff_t x, int change, std::size_t median, std::size_t &below) {
                    const std::size_t xx = clampIndex(x, w);
                    for (std::size_t row : rows) {
                        const std::uint16_t bin = bins[3 * (xx + w * row) + std::size_t(c)];
                        histogram[bin] = std::uint16_t(histogram[bin] + change);
                        if (bin < median)
                            below = std::size_t(std::ptrdiff_t(below) + change);
                    }
                };
                std::size_t median = 0, below = 0;
                for (std::ptrdiff_t dx = -r; dx <= r; ++dx)
                    column(dx, 1, median, below);
                for (std::size_t x = 0; x < w; ++x) {
                    if (x > 0) {
                        column(std::ptrdiff_t(x) - r - 1, -1, median, below);
                        column(std::ptrdiff_t(x) + r, 1, median, below);
                    }
                    // Move the median until exactly half the window lies below it.
                    while (below > half) {
                        --median;
                        below -= histogram[median];
                    }
                    while (below + histogram[median] <= half) {
                        below += histogram[median];
                        ++median;
                    }
                    picture.samples[3 * (x + w * y) + std::size_t(c)] = float(median) / kMedianSteps;
                }
            }
        }
    });
}

} // namespace steps
