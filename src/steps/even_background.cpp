// One pass over the full picture, a row at a time: the paper row is interpolated from the small
// estimate, turned into the reciprocal ratio scale, and every sample is looked up in the table.
#include "even_background.hpp"

#include "interpolation_taps.hpp"
#include "row_ranges.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace steps {

namespace {

double toneOf(double ratio, double exponent, double knee)
{
    if (knee <= 0)
        return std::pow(ratio, exponent) * 255.0;
    const double kneeRatio = 1.0 - knee;
    if (ratio <= kneeRatio)
        return kKneeByte * std::pow(ratio / kneeRatio, exponent);
    return kKneeByte + (255.0 - kKneeByte) * (ratio - kneeRatio) / knee;
}

} // namespace

ToneTable makeToneTable(double exponent, double knee)
{
    ToneTable table{};
    for (std::size_t i = 0; i <= kRatioSteps; ++i)
        table[i] = std::uint8_t(toneOf(double(i) / kRatioSteps, exponent, knee) + 0.5);
    return table;
}

std::array<float, 256> ratioTable(double exponent, double knee)
{
    std::array<float, 256> ratios{};
    for (int byte = 0; byte < 256; ++byte) {
        // The curve rises steadily: bisect for the ratio whose tone is the byte.
        double low = 0, high = 1;
        for (int step = 0; step < 40; ++step) {
            const double middle = (low + high) / 2;
            (toneOf(middle, exponent, knee) < byte ? low : high) = middle;
        }
        ratios[std::size_t(byte)] = float((low + high) / 2);
    }
    return ratios;
}

namespace {

// One channel of a row: each sample times steps / paper, capped at the table's end, is the
// table index of its evened value. The look-up is a gather, so the loop stays scalar (a first
// loop of vectorised indexes into a second of look-ups measured no faster); the strides are
// constants, so that each of the four copies indexes without multiplications.
template <std::size_t PixelBytes, std::size_t OutStride>
void lookUpChannel(const std::uint8_t *__restrict in, const float *__restrict stepsPerLevel, std::size_t width,
                   const std::uint8_t *__restrict table, std::uint8_t *__restrict out)
{
    for (std::size_t x = 0; x < width; ++x) {
        // In int: the product is at most 255 * kRatioSteps.
        const int index = std::min(int(float(in[PixelBytes * x]) * stepsPerLevel[x] + 0.5f), int(kRatioSteps));
        out[OutStride * x] = table[index];
    }
}

} // namespace

void evenBackground(const std::uint8_t *rgb, std::size_t width, std::size_t height, std::size_t pixelBytes,
                    const PaperEstimate &paper, const ToneTable &tone, const EvenedTarget &target)
{

    const std::vector<Tap> across = bilinearTaps(width, paper.width);
    const std::vector<Tap> down = bilinearTaps(height, paper.height);
    const std::vector<Run> runs = runsOf(across);
    std::vector<float> weights(width);
    for (std::size_t x = 0; x < width; ++x)
        weights[x] = across[x].weight;
    const float *small = paper.samples.data();
    forRowRanges(height, 3 * width, [&](std::size_t firstRow, std::size_t lastRow) {
        std::vector<float> paperRow(3 * paper.width);
        std::vector<float> stepsPerLevel(width);
        for (std::size_t y = firstRow; y < lastRow; ++y) {
            const Tap &v = down[y];
            const float *upper = small + 3 * paper.width * v.first;
            const float *lower = small + 3 * paper.width * v.second;
            for (std::size_t i = 0; i < 3 * paper.width; ++i)
                paperRow[i] = upper[i] + (lower[i] - upper[i]) * v.weight;
            const std::uint8_t *in = rgb + pixelBytes * width * y;
            for (std::size_t c = 0; c < 3; ++c) {
                float *__restrict steps = stepsPerLevel.data();
                const float *__restrict weight = weights.data();
                for (const Run &run : runs) {
                    const float left = paperRow[3 * run.first + c], right = paperRow[3 * run.second + c];
                    for (std::size_t x = run.begin; x < run.end; ++x)
                        steps[x] = float(kRatioSteps) / (left + (right - left) * weight[x]);
                }
                const std::uint8_t *table = tone.data();
                if (target.interleaved != nullptr) {
                    std::uint8_t *out = target.interleaved + 3 * width * y + c;
                    if (pixelBytes == 4)
                        lookUpChannel<4, 3>(in + c, steps, width, table, out);
                    else
                        lookUpChannel<3, 3>(in + c, steps, width, table, out);
                } else {
                    std::uint8_t *out = (c == 0 ? target.red : c == 1 ? target.green : target.blue) + width * y;
                    if (pixelBytes == 4)
                        lookUpChannel<4, 1>(in + c, steps, width, table, out);
                    else
                        lookUpChannel<3, 1>(in + c, steps, width, table, out);
                }
            }
        }
    });
}

void evenPicture(const std::uint8_t *rgb, std::size_t width, std::size_t height, std::size_t pixelBytes,
                 double exponent, double knee, const EvenedTarget &target)
{
    const PaperEstimate paper = estimatePaper(rgb, width, height, pixelBytes);
    evenBackground(rgb, width, height, pixelBytes, paper, makeToneTable(exponent, knee), target);
}

} // namespace steps
