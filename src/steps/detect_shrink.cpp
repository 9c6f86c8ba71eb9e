// One pass over the photo, a row at a time: each row's pixels are added into their block's
// sums, and a block row is divided once its last row is in.
#include "detect_shrink.hpp"

#include <vector>

namespace steps {

namespace {

template <std::size_t PixelBytes>
void addRow(const std::uint8_t *__restrict row, std::size_t blocks, std::size_t factor, std::uint32_t *__restrict sums)
{
    for (std::size_t block = 0; block < blocks; ++block) {
        const std::uint8_t *pixel = row + PixelBytes * factor * block;
        std::uint32_t r = 0, g = 0, b = 0;
        for (std::size_t x = 0; x < factor; ++x) {
            r += pixel[PixelBytes * x];
            g += pixel[PixelBytes * x + 1];
            b += pixel[PixelBytes * x + 2];
        }
        sums[3 * block] += r;
        sums[3 * block + 1] += g;
        sums[3 * block + 2] += b;
    }
}

} // namespace

void shrinkByBlocks(const std::uint8_t *rgb, std::size_t width, std::size_t height, std::size_t pixelBytes,
                    std::size_t factor, float *small)
{
    const std::size_t blocks = width / factor, blockRows = height / factor;
    const float scale = 1.0f / float(factor * factor);
    std::vector<std::uint32_t> sums(3 * blocks);
    for (std::size_t blockRow = 0; blockRow < blockRows; ++blockRow) {
        std::fill(sums.begin(), sums.end(), 0u);
        for (std::size_t y = blockRow * factor; y < (blockRow + 1) * factor; ++y) {
            const std::uint8_t *row = rgb + pixelBytes * width * y;
            if (pixelBytes == 4)
                addRow<4>(row, blocks, factor, sums.data());
            else
                addRow<3>(row, blocks, factor, sums.data());
        }
        float *out = small + 3 * blocks * blockRow;
        for (std::size_t i = 0; i < 3 * blocks; ++i)
            out[i] = float(sums[i]) * scale;
    }
}

} // namespace steps
