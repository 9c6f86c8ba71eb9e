// The small copy is built by block averages, then filtered per channel: max 3x3, median 9x9,
// Gaussian with a standard deviation of 2 pixels. Borders repeat the edge pixels.
#include "paper_estimate.hpp"

#include "quantised_median.hpp"
#include "row_ranges.hpp"

#include <algorithm>
#include <cmath>

namespace steps {

namespace {

using Plane = std::vector<float>;

// Block averages of factor x factor pixels; the last blocks of a row or column may be partial.
// Block rows are shared among the cores; within a block row each block's pixels are summed in
// one run, with no division per pixel.
// The sums of one block row's pixels, pixelBytes apart (3 or 4: a padding byte is skipped).
template <std::size_t PixelBytes>
void addBlockRow(const std::uint8_t *row, std::size_t width, std::size_t factor, std::size_t blocks,
                 std::uint32_t *sums)
{
    for (std::size_t blockColumn = 0; blockColumn < blocks; ++blockColumn) {
        const std::size_t first = blockColumn * factor, last = std::min(width, first + factor);
        std::uint32_t r = 0, g = 0, b = 0;
        for (std::size_t x = first; x < last; ++x) {
            r += row[PixelBytes * x];
            g += row[PixelBytes * x + 1];
            b += row[PixelBytes * x + 2];
        }
        std::uint32_t *sum = &sums[3 * blockColumn];
        sum[0] += r;
        sum[1] += g;
        sum[2] += b;
    }
}

PaperEstimate reduceByBlocks(const std::uint8_t *rgb, std::size_t width, std::size_t height, std::size_t pixelBytes,
                             std::size_t factor)
{
    PaperEstimate small;
    small.width = (width + factor - 1) / factor;
    small.height = (height + factor - 1) / factor;
    small.samples.assign(3 * small.width * small.height, 0.0f);
    forRowRanges(small.height, 3 * width * factor, [&](std::size_t firstBlockRow, std::size_t lastBlockRow) {
        std::vector<std::uint32_t> sums(3 * small.width);
        for (std::size_t blockRow = firstBlockRow; blockRow < lastBlockRow; ++blockRow) {
            std::fill(sums.begin(), sums.end(), 0u);
            const std::size_t firstRow = blockRow * factor;
            const std::size_t lastRow = std::min(height, firstRow + factor);
            for (std::size_t y = firstRow; y < lastRow; ++y) {
                const std::uint8_t *row = rgb + pixelBytes * width * y;
                if (pixelBytes == 4)
                    addBlockRow<4>(row, width, factor, small.width, sums.data());
                else
                    addBlockRow<3>(row, width, factor, small.width, sums.data());
            }
            float *out = &small.samples[3 * small.width * blockRow];
            for (std::size_t blockColumn = 0; blockColumn < small.width; ++blockColumn) {
                const std::size_t columns = std::min(width, (blockColumn + 1) * factor) - blockColumn * factor;
                const float count = float(columns * (lastRow - firstRow));
                for (int c = 0; c < 3; ++c)
                    out[3 * blockColumn + c] = float(sums[3 * blockColumn + c]) / count;
            }
        }
    });
    return small;
}

std::size_t clampIndex(std::ptrdiff_t i, std::size_t size)
{
    return std::size_t(std::clamp<std::ptrdiff_t>(i, 0, std::ptrdiff_t(size) - 1));
}

// Max over a 3 x 3 window, per channel: a max across, then a max down.
void max3x3(PaperEstimate &picture)
{
    const std::size_t w = picture.width, h = picture.height;
    Plane across(picture.samples.size());
    const float *in = picture.samples.data();
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            const std::size_t left = x ? x - 1 : 0, right = std::min(x + 1, w - 1);
            for (int c = 0; c < 3; ++c)
                across[3 * (x + w * y) + c] =
                    std::max({in[3 * (left + w * y) + c], in[3 * (x + w * y) + c], in[3 * (right + w * y) + c]});
        }
    for (std::size_t y = 0; y < h; ++y) {
        const std::size_t up = y ? y - 1 : 0, down = std::min(y + 1, h - 1);
        for (std::size_t i = 0; i < 3 * w; ++i)
            picture.samples[3 * w * y + i] =
                std::max({across[3 * w * up + i], across[3 * w * y + i], across[3 * w * down + i]});
    }
}

// One pass of a window of 2 * radius + 1 pixels along the rows or down the columns, clamped at
// the borders: each result is the window's samples folded into start, tap by tap.
template <class Fold>
void windowPass(const Plane &in, Plane &out, std::size_t w, std::size_t h, bool down, std::ptrdiff_t radius,
                float start, Fold fold)
{
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            for (std::size_t c = 0; c < 3; ++c) {
                float value = start;
                for (std::ptrdiff_t i = -radius; i <= radius; ++i) {
                    const std::size_t pixel = down ? x + w * clampIndex(std::ptrdiff_t(y) + i, h)
                                                   : clampIndex(std::ptrdiff_t(x) + i, w) + w * y;
                    value = fold(value, std::size_t(i + radius), in[3 * pixel + c]);
                }
                out[3 * (x + w * y) + c] = value;
            }
}

// One pass of a separable blur, along the rows or down the columns, each result at least floor.
void blurPass(const Plane &in, Plane &out, std::size_t w, std::size_t h, bool down, const std::vector<float> &weights,
              float floor)
{
    windowPass(in, out, w, h, down, std::ptrdiff_t(weights.size() / 2), 0.0f,
               [&weights](float sum, std::size_t tap, float sample) { return sum + weights[tap] * sample; });
    for (float &value : out)
        value = std::max(value, floor);
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
    // The samples are averages of levels, never negative, so the first pass's floor of 0
    // changes nothing; the second keeps the estimate at 1 at least, for the division by it.
    blurPass(picture.samples, across, w, h, false, weights, 0.0f);
    blurPass(across, picture.samples, w, h, true, weights, 1.0f);
}

// Running max over a window of 2 * radius + 1 pixels, along the rows or down the columns.
void maxPass(const Plane &in, Plane &out, std::size_t w, std::size_t h, bool down, std::ptrdiff_t radius)
{
    windowPass(in, out, w, h, down, radius, 0.0f,
               [](float most, std::size_t, float sample) { return std::max(most, sample); });
}

} // namespace

std::vector<std::uint8_t> markPaper(const PaperEstimate &local, std::size_t radius, float darkest, float widestTint)
{
    const std::size_t w = local.width, h = local.height;
    Plane across(local.samples.size()), envelope(local.samples.size());
    maxPass(local.samples, across, w, h, false, std::ptrdiff_t(radius));
    maxPass(across, envelope, w, h, true, std::ptrdiff_t(radius));
    // The page's own paper colour: the median of each channel over the small copy, most of which
    // is paper. A tint against the envelope that is no tint against it is the page's own colour
    // beside something brighter and greyer (glare, a lamp's white spot), not a tinted shape.
    float pageColour[3];
    {
        std::vector<float> channel(w * h);
        for (std::size_t c = 0; c < 3; ++c) {
            for (std::size_t i = 0; i < w * h; ++i)
                channel[i] = local.samples[3 * i + c];
            const auto middle = channel.begin() + std::ptrdiff_t(channel.size() / 2);
            std::nth_element(channel.begin(), middle, channel.end());
            pageColour[c] = std::max(*middle, 1.0f);
        }
    }
    std::vector<std::uint8_t> paper(w * h);
    for (std::size_t i = 0; i < w * h; ++i) {
        float least = 1, most = 0, leastOfPage = 1e9f, mostOfPage = 0;
        for (std::size_t c = 0; c < 3; ++c) {
            const float ratio = local.samples[3 * i + c] / std::max(envelope[3 * i + c], 1.0f);
            least = std::min(least, ratio);
            most = std::max(most, ratio);
            const float ofPage = local.samples[3 * i + c] / pageColour[c];
            leastOfPage = std::min(leastOfPage, ofPage);
            mostOfPage = std::max(mostOfPage, ofPage);
        }
        // The tint against the page's colour, as a share of the sample's brightest channel.
        const bool tinted = most - least > widestTint && (mostOfPage - leastOfPage) > widestTint * mostOfPage;
        paper[i] = least >= darkest && !tinted;
    }
    return paper;
}

void keepBorderAreas(std::vector<std::uint8_t> &paper, std::size_t width, std::size_t height)
{
    std::vector<std::size_t> reached;
    auto reach = [&](std::size_t i) {
        if (!paper[i]) {
            paper[i] = 1;
            reached.push_back(i);
        }
    };
    for (std::size_t x = 0; x < width; ++x) {
        reach(x);
        reach(x + width * (height - 1));
    }
    for (std::size_t y = 0; y < height; ++y) {
        reach(width * y);
        reach(width - 1 + width * y);
    }
    for (std::size_t head = 0; head < reached.size(); ++head) {
        const std::size_t i = reached[head], x = i % width, y = i / width;
        if (x > 0)
            reach(i - 1);
        if (x + 1 < width)
            reach(i + 1);
        if (y > 0)
            reach(i - width);
        if (y + 1 < height)
            reach(i + width);
    }
}

void fillFromPaper(PaperEstimate &picture, const std::vector<std::uint8_t> &paper)
{
    // A pyramid of weighted sums: each level halves the one below, weights counting paper pixels.
    struct Level {
        std::size_t width, height;
        std::vector<float> sums;   // three per pixel: the samples of its paper pixels, added
        std::vector<float> weight; // its share of paper pixels, 0 to 1
    };
    std::vector<Level> levels;
    Level base{picture.width, picture.height, Plane(picture.samples.size()), Plane(paper.size())};
    for (std::size_t i = 0; i < paper.size(); ++i) {
        base.weight[i] = paper[i];
        for (std::size_t c = 0; c < 3; ++c)
            base.sums[3 * i + c] = paper[i] ? picture.samples[3 * i + c] : 0.0f;
    }
    levels.push_back(std::move(base));
    while (levels.back().width > 1 || levels.back().height > 1) {
        const Level &fine = levels.back();
        Level coarse{(fine.width + 1) / 2, (fine.height + 1) / 2, {}, {}};
        coarse.sums.assign(3 * coarse.width * coarse.height, 0.0f);
        coarse.weight.assign(coarse.width * coarse.height, 0.0f);
        for (std::size_t y = 0; y < fine.height; ++y)
            for (std::size_t x = 0; x < fine.width; ++x) {
                const std::size_t from = x + fine.width * y, to = x / 2 + coarse.width * (y / 2);
                coarse.weight[to] += 0.25f * fine.weight[from];
                for (std::size_t c = 0; c < 3; ++c)
                    coarse.sums[3 * to + c] += 0.25f * fine.sums[3 * from + c];
            }
        levels.push_back(std::move(coarse));
    }
    if (levels.back().weight[0] <= 0)
        return; // no paper anywhere: the local estimate is all there is
    // Down the pyramid: a pixel keeps its own paper average as far as it holds paper, and takes the
    // rest from the level above, so holes fill from the paper around them, however large they are.
    Plane filled(3, 0.0f);
    for (std::size_t c = 0; c < 3; ++c)
        filled[c] = levels.back().sums[c] / levels.back().weight[0];
    for (std::size_t l = levels.size() - 1; l-- > 0;) {
        const Level &level = levels[l];
        const std::size_t coarseWidth = levels[l + 1].width;
        Plane next(3 * level.width * level.height);
        for (std::size_t y = 0; y < level.height; ++y)
            for (std::size_t x = 0; x < level.width; ++x) {
                const std::size_t i = x + level.width * y, above = x / 2 + coarseWidth * (y / 2);
                const float weight = level.weight[i];
                const float own = std::min(1.0f, 4.0f * weight);
                for (std::size_t c = 0; c < 3; ++c) {
                    const float mean = weight > 0 ? level.sums[3 * i + c] / weight : 0.0f;
                    next[3 * i + c] = own * mean + (1 - own) * filled[3 * above + c];
                }
            }
        filled = std::move(next);
    }
    for (std::size_t i = 0; i < paper.size(); ++i)
        if (!paper[i])
            for (std::size_t c = 0; c < 3; ++c)
                picture.samples[3 * i + c] = filled[3 * i + c];
}

PaperEstimate estimatePaper(const std::uint8_t *rgb, std::size_t width, std::size_t height, std::size_t pixelBytes)
{
    const std::size_t factor = std::max<std::size_t>(1, std::min(width, height) / kEstimateShortSide);
    PaperEstimate estimate = reduceByBlocks(rgb, width, height, pixelBytes, factor);
    max3x3(estimate);
    medianFilter(estimate, 4);
    // Dark or strongly tinted areas wider than the filters (filled shapes, highlighter bands)
    // would pass for paper: they are taken out and filled from the paper around them.
    std::vector<std::uint8_t> paper = markPaper(estimate, kEnvelopeRadius, kDarkestPaper, kWidestPaperTint);
    // What reaches the picture's edge is the table or wall around the page, or the page's own
    // margin: the estimate follows it as before, so that it comes out white.
    keepBorderAreas(paper, estimate.width, estimate.height);
    fillFromPaper(estimate, paper);
    gaussianBlur(estimate, 2.0f);
    return estimate;
}

} // namespace steps
