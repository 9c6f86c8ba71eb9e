// The small copy of a photo that the page detection works on: block averages of factor x factor
// pixels, as floats (0 to 255), three a pixel.
#pragma once

#include <cstddef>
#include <cstdint>

namespace steps {

// Writes the (width / factor) x (height / factor) block averages of an interleaved RGB picture,
// pixelBytes apart (3, or 4 with a padding byte), to small (3 floats a pixel). The rows and
// columns past the last whole block are left out. factor >= 1, width and height >= factor.
void shrinkByBlocks(const std::uint8_t *rgb, std::size_t width, std::size_t height, std::size_t pixelBytes,
                    std::size_t factor, float *small);

} // namespace steps
