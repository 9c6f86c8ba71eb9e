// The colour gradient of the detection's small copy: a Sobel pair per channel, and at every
// pixel the channel whose gradient is strongest, so that a page on a desk of the same
// brightness but another colour still shows its edges.
#pragma once

#include <cstddef>

namespace steps {

// Writes the x and y gradients (width x height floats each) of a picture of three floats a
// pixel; the one-pixel border gets zero. width and height >= 1.
void colourGradients(const float *rgb, std::size_t width, std::size_t height, float *gx, float *gy);

} // namespace steps
