// Per output row and channel: the three input rows summed 1-2-1 down, then 1-2-1 across at every
// odd column, in integers (at most 16 * 255).
#include "halved_colour.hpp"

#include "row_ranges.hpp"

#include <vector>

namespace steps {

namespace {

template <std::size_t Stride>
void sumDown(const std::uint8_t *__restrict top, const std::uint8_t *__restrict middle,
             const std::uint8_t *__restrict bottom, std::size_t width, std::uint16_t *__restrict sum)
{
    for (std::size_t x = 0; x < width; ++x)
        sum[x] = std::uint16_t(top[Stride * x] + 2 * middle[Stride * x] + bottom[Stride * x]);
}

} // namespace

void halvedColourRow(const std::uint8_t *const channels[3], std::size_t stride, std::size_t width, std::size_t row,
                     std::uint16_t *down, std::uint8_t *out)
{
    const std::size_t outWidth = (width - 1) / 2;
    for (std::size_t c = 0; c < 3; ++c) {
        const std::uint8_t *top = channels[c] + stride * width * (2 * row);
        const std::uint8_t *middle = top + stride * width, *bottom = middle + stride * width;
        if (stride == 1)
            sumDown<1>(top, middle, bottom, width, down);
        else
            sumDown<3>(top, middle, bottom, width, down);
        const std::uint16_t *__restrict sum = down;
        std::uint8_t *__restrict target = out + 3 * outWidth * row + c;
        for (std::size_t j = 0; j < outWidth; ++j) // the weights sum to 16; + 8 rounds
            target[3 * j] = std::uint8_t((sum[2 * j] + 2 * sum[2 * j + 1] + sum[2 * j + 2] + 8) / 16);
    }
}

void halvedColour(const std::uint8_t *red, const std::uint8_t *green, const std::uint8_t *blue, std::size_t stride,
                  std::size_t width, std::size_t height, std::uint8_t *out)
{
    const std::size_t outHeight = (height - 1) / 2;
    const std::uint8_t *channels[3] = {red, green, blue};
    forRowRanges(outHeight, 3 * width * 3, [&](std::size_t firstRow, std::size_t lastRow) {
        std::vector<std::uint16_t> down(width);
        for (std::size_t i = firstRow; i < lastRow; ++i)
            halvedColourRow(channels, stride, width, i, down.data(), out);
    });
}

} // namespace steps
