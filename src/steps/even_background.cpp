// One pass over the full picture, a row at a time: the paper row is interpolated from the small
// estimate, turned into the reciprocal ratio scale, and every sample is looked up in the table.
#include "even_background.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace steps {

ToneTable makeToneTable(double exponent)
{
    ToneTable table{};
    for (std::size_t i = 0; i <= kRatioSteps; ++i)
        table[i] = std::uint8_t(std::pow(double(i) / kRatioSteps, exponent) * 255.0 + 0.5);
    return table;
}

namespace {

// Where a full-size pixel centre falls in the small estimate: the two neighbours and the weight
// of the second, with the centres of both pictures aligned as in an ordinary bilinear resize.
struct Tap {
    std::size_t first;
    std::size_t second;
    float weight;
};

std::vector<Tap> bilinearTaps(std::size_t fullSize, std::size_t smallSize)
{
    std::vector<Tap> taps(fullSize);
    const double scale = double(smallSize) / double(fullSize);
    for (std::size_t i = 0; i < fullSize; ++i) {
        const double position = std::clamp((double(i) + 0.5) * scale - 0.5, 0.0, double(smallSize - 1));
        const std::size_t first = std::size_t(position);
        taps[i] = {first, std::min(first + 1, smallSize - 1), float(position - double(first))};
    }
    return taps;
}

// Samples times steps / paper, capped at the table's end: the table index of each sample. in and
// out may be the same row: each sample is read before it is written.
void lookUpRow(const std::uint8_t *in, const float *__restrict stepsPerLevel, std::size_t count,
               const std::uint8_t *__restrict table, std::uint8_t *out)
{
    for (std::size_t i = 0; i < count; ++i) {
        const float index = std::min(float(in[i]) * stepsPerLevel[i] + 0.5f, float(kRatioSteps));
        out[i] = table[std::size_t(index)];
    }
}

} // namespace

void evenBackground(const std::uint8_t *rgb, std::size_t width, std::size_t height, const PaperEstimate &paper,
                    const ToneTable &tone, std::uint8_t *out)
{
    const std::vector<Tap> across = bilinearTaps(width, paper.width);
    const std::vector<Tap> down = bilinearTaps(height, paper.height);
    std::vector<float> paperRow(3 * paper.width);
    std::vector<float> stepsPerLevel(3 * width);
    const float *small = paper.samples.data();
    for (std::size_t y = 0; y < height; ++y) {
        const Tap &v = down[y];
        const float *upper = small + 3 * paper.width * v.first;
        const float *lower = small + 3 * paper.width * v.second;
        for (std::size_t i = 0; i < 3 * paper.width; ++i)
            paperRow[i] = upper[i] + (lower[i] - upper[i]) * v.weight;
        for (std::size_t x = 0; x < width; ++x) {
            const Tap &h = across[x];
            for (std::size_t c = 0; c < 3; ++c) {
                const float left = paperRow[3 * h.first + c], right = paperRow[3 * h.second + c];
                stepsPerLevel[3 * x + c] = float(kRatioSteps) / (left + (right - left) * h.weight);
            }
        }
        const std::size_t offset = 3 * width * y;
        lookUpRow(rgb + offset, stepsPerLevel.data(), 3 * width, tone.data(), out + offset);
    }
}

} // namespace steps
