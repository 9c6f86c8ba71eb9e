// The three output planes interleaved into one RGB picture, as GetData delivers it and as the
// tool's steps read it back.
#pragma once

#include <cstddef>

namespace vantrel {

// Writes n pixels of r, g and b interleaved into out (3 x n bytes), every 0 sample written as 1
// when zeroAsOne (GetData's picture, a text with no zero byte in it), else as it is. The caller
// guarantees out overlaps none of the planes.
void interleavePlanes(const unsigned char *r, const unsigned char *g, const unsigned char *b, unsigned char *out,
                      std::size_t n, bool zeroAsOne);

} // namespace vantrel
