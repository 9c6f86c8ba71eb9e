// A row of contrasts (and tints) per input row, three rows at a time summed 1-2-1 down, then 1-2-1
// across at every odd column; the largest of the nine beside it. The halved colour of the same rows
// is taken in the same pass, while they are in the cache. Output rows are shared among the cores.
#include "contrast_map.hpp"

#include "halved_colour.hpp"
#include "row_ranges.hpp"

#include <algorithm>

namespace steps {

namespace {

// The darkest and lightest sample of each pixel of one input row (bytes, vectorised), the stride
// a constant for the compiler.
template <std::size_t Stride>
void extremesRow(const std::uint8_t *__restrict r, const std::uint8_t *__restrict g, const std::uint8_t *__restrict b,
                 std::size_t width, std::uint8_t *__restrict darkest, std::uint8_t *__restrict lightest)
{
    for (std::size_t x = 0; x < width; ++x) {
        darkest[x] = std::min({r[Stride * x], g[Stride * x], b[Stride * x]});
        lightest[x] = std::max({r[Stride * x], g[Stride * x], b[Stride * x]});
    }
}

// One input row's contrasts and tints (the darkest sample's contrast less the lightest's).
void contrastRow(const std::uint8_t *__restrict darkest, const std::uint8_t *__restrict lightest, std::size_t width,
                 const float *__restrict table, float *__restrict row, float *__restrict tint)
{
    for (std::size_t x = 0; x < width; ++x) {
        const float dark = table[darkest[x]];
        row[x] = dark;
        tint[x] = dark - table[lightest[x]];
    }
}

} // namespace

void contrastMap(const std::uint8_t *red, const std::uint8_t *green, const std::uint8_t *blue, std::size_t stride,
                 std::size_t width, std::size_t height, const std::array<float, 256> &ratios, std::uint16_t *out,
                 std::uint16_t *peak, std::uint16_t *tint, std::uint8_t *colour)
{
    const std::size_t outWidth = (width - 1) / 2, outHeight = (height - 1) / 2;
    std::array<float, 256> contrastOf{};
    for (std::size_t i = 0; i < 256; ++i)
        contrastOf[i] = (1.0f - ratios[i]) * float(kContrastSteps);
    const std::uint8_t *channels[3] = {red, green, blue};
    forRowRanges(outHeight, 3 * width * 2, [&](std::size_t firstRow, std::size_t lastRow) {
        std::vector<float> rows[3] = {std::vector<float>(width), std::vector<float>(width), std::vector<float>(width)};
        std::vector<float> tints[3] = {std::vector<float>(width), std::vector<float>(width), std::vector<float>(width)};
        std::vector<std::uint8_t> darkest[3] = {std::vector<std::uint8_t>(width), std::vector<std::uint8_t>(width),
                                                std::vector<std::uint8_t>(width)};
        std::vector<float> down(width), tintDown(width);
        std::vector<std::uint8_t> lightest(width), leastDown(width);
        std::vector<std::uint16_t> colourDown(width);
        const float *table = contrastOf.data();
        for (std::size_t i = firstRow; i < lastRow; ++i) {
            // The bottom row of the last output row is this one's top: only two rows are new.
            if (i > firstRow) {
                std::swap(rows[0], rows[2]);
                std::swap(tints[0], tints[2]);
                std::swap(darkest[0], darkest[2]);
            }
            for (std::size_t k = i > firstRow ? 1 : 0; k < 3; ++k) {
                const std::size_t first = stride * width * (2 * i + k);
                if (stride == 1)
                    extremesRow<1>(red + first, green + first, blue + first, width, darkest[k].data(), lightest.data());
                else
                    extremesRow<3>(red + first, green + first, blue + first, width, darkest[k].data(), lightest.data());
                contrastRow(darkest[k].data(), lightest.data(), width, table, rows[k].data(), tints[k].data());
            }
            const float *__restrict top = rows[0].data(), *__restrict middle = rows[1].data(),
                                    *__restrict bottom = rows[2].data();
            const std::uint8_t *__restrict darkTop = darkest[0].data(), *__restrict darkMiddle = darkest[1].data(),
                                           *__restrict darkBottom = darkest[2].data();
            float *__restrict sum = down.data();
            std::uint8_t *__restrict least = leastDown.data();
            for (std::size_t x = 0; x < width; ++x) {
                sum[x] = top[x] + 2 * middle[x] + bottom[x];
                least[x] = std::min({darkTop[x], darkMiddle[x], darkBottom[x]});
            }
            std::uint16_t *__restrict target = out + outWidth * i, *__restrict peakTarget = peak + outWidth * i;
            for (std::size_t j = 0; j < outWidth; ++j) {
                const float value = (sum[2 * j] + 2 * sum[2 * j + 1] + sum[2 * j + 2]) / 16; // the weights sum to 16
                target[j] = std::uint16_t(std::clamp(value + 0.5f, 0.0f, float(kContrastSteps)));
                // Contrast falls as the byte rises: the largest of the nine is the darkest byte's.
                const float darkestContrast = table[std::min({least[2 * j], least[2 * j + 1], least[2 * j + 2]})];
                peakTarget[j] = std::uint16_t(std::clamp(darkestContrast + 0.5f, 0.0f, float(kContrastSteps)));
            }
            if (colour != nullptr)
                halvedColourRow(channels, stride, width, i, colourDown.data(), colour);
            if (tint == nullptr)
                continue;
            const float *__restrict tintTop = tints[0].data(), *__restrict tintMiddle = tints[1].data(),
                                    *__restrict tintBottom = tints[2].data();
            float *__restrict tintSum = tintDown.data();
            for (std::size_t x = 0; x < width; ++x)
                tintSum[x] = tintTop[x] + 2 * tintMiddle[x] + tintBottom[x];
            std::uint16_t *__restrict tintTarget = tint + outWidth * i;
            for (std::size_t j = 0; j < outWidth; ++j) {
                const float value = (tintSum[2 * j] + 2 * tintSum[2 * j + 1] + tintSum[2 * j + 2]) / 16;
                tintTarget[j] = std::uint16_t(std::clamp(value + 0.5f, 0.0f, float(kContrastSteps)));
            }
        }
    });
}

} // namespace steps
