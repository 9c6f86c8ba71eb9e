// The small copy is built by block averages, then filtered per channel: max 3x3, median 9x9,
// Gaussian with a standard deviation of 2 pixels. Borders repeat the edge pixels.
#include "paper_estimate.hpp"

#include <algorithm>
#include <cmath>

namespace steps {

namespace {

using Plane = std::vector<float>;

// Block averages of factor x factor pixels; the last blocks of a row or column may be partial.
PaperEstimate reduceByBlocks(const std::uint8_t *rgb, std::size_t width, std::size_t height, std::size_t factor)
{
    PaperEstimate small;
    small.width = (width + factor - 1) / factor;
    small.height = (height + factor - 1) / factor;
    small.samples.assign(3 * small.width * small.height, 0.0f);
    std::vector<std::uint32_t> sums(3 * small.width);
    for (std::size_t blockRow = 0; blockRow < small.height; ++blockRow) {
        std::fill(sums.begin(), sums.end(), 0u);
        const std::size_t firstRow = blockRow * factor;
        const std::size_t lastRow = std::min(height, firstRow + factor);
        for (std::size_t y = firstRow; y < lastRow; ++y) {
            const std::uint8_t *row = rgb + 3 * width * y;
            for (std::size_t x = 0; x < width; ++x) {
                std::uint32_t *sum = &sums[3 * (x / factor)];
                sum[0] += row[3 * x];
                sum[1] += row[3 * x + 1];
                sum[2] += row[3 * x + 2];
            }
        }
        float *out = &small.samples[3 * small.width * blockRow];
        for (std::size_t blockColumn = 0; blockColumn < small.width; ++blockColumn) {
            const std::size_t columns = std::min(width, (blockColumn + 1) * factor) - blockColumn * factor;
            const float count = float(columns * (lastRow - firstRow));
            for (int c = 0; c < 3; ++c)
                out[3 * blockColumn + c] = float(sums[3 * blockColumn + c]) / count;
        }
    }
    return small;
}

std::size_t clampIndex(std::ptrdiff_t i, std::size_t size)
{
    return std::size_t(std::clamp<std::ptrdiff_t>(i, 0, std::ptrdiff_t(size) - 1));
}

// Max or median over a square window of 2 * radius + 1 pixels, per channel.
void rankFilter(PaperEstimate &picture, int radius, bool median)
{
    const std::size_t w = picture.width, h = picture.height;
    Plane out(picture.samples.size());
    std::vector<float> window;
    window.reserve(std::size_t(2 * radius + 1) * std::size_t(2 * radius + 1));
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) {
                window.clear();
                for (int dy = -radius; dy <= radius; ++dy) {
                    const std::size_t yy = clampIndex(std::ptrdiff_t(y) + dy, h);
                    for (int dx = -radius; dx <= radius; ++dx) {
                        const std::size_t xx = clampIndex(std::ptrdiff_t(x) + dx, w);
                        window.push_back(picture.samples[3 * (xx + w * yy) + c]);
                    }
                }
                float value;
                if (median) {
                    auto middle = window.begin() + std::ptrdiff_t(window.size() / 2);
                    std::nth_element(window.begin(), middle, window.end());
                    value = *middle;
                } else {
                    value = *std::max_element(window.begin(), window.end());
                }
                out[3 * (x + w * y) + c] = value;
            }
        }
    }
    picture.samples.swap(out);
}

// Separable Gaussian blur, three standard deviations on each side.
void gaussianBlur(PaperEstimate &picture, float sigma)
{
    const int radius = int(std::ceil(3 * sigma));
    std::vector<float> weights(std::size_t(2 * radius + 1));
    float total = 0;
    for (int i = -radius; i <= radius; ++i)
        total += weights[std::size_t(i + radius)] = std::exp(-0.5f * float(i * i) / (sigma * sigma));
    for (float &weight : weights)
        weight /= total;

    const std::size_t w = picture.width, h = picture.height;
    Plane across(picture.samples.size());
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                float sum = 0;
                for (int i = -radius; i <= radius; ++i)
                    sum += weights[std::size_t(i + radius)] *
                           picture.samples[3 * (clampIndex(std::ptrdiff_t(x) + i, w) + w * y) + c];
                across[3 * (x + w * y) + c] = sum;
            }
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                float sum = 0;
                for (int i = -radius; i <= radius; ++i)
                    sum += weights[std::size_t(i + radius)] *
                           across[3 * (x + w * clampIndex(std::ptrdiff_t(y) + i, h)) + c];
                picture.samples[3 * (x + w * y) + c] = std::max(sum, 1.0f);
            }
}

} // namespace

PaperEstimate estimatePaper(const std::uint8_t *rgb, std::size_t width, std::size_t height)
{
    const std::size_t factor = std::max<std::size_t>(1, std::min(width, height) / kEstimateShortSide);
    PaperEstimate estimate = reduceByBlocks(rgb, width, height, factor);
    rankFilter(estimate, 1, false);
    rankFilter(estimate, 4, true);
    gaussianBlur(estimate, 2.0f);
    return estimate;
}

} // namespace steps
