// Rectifies a picture through a homography without aliasing: every output pixel averages the
// source over its footprint, sampled bilinearly on a grid as fine as the local stretch of the
// mapping (its Jacobian) asks, so a shrinking warp averages where plain bilinear would skip.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace steps {

// Maps output pixel centres (x, y, 1) to source positions: row-major 3x3.
using Homography = std::array<double, 9>;

// The most samples an output pixel takes along each axis.
constexpr std::size_t kMaxSamplesPerAxis = 8;

// Source positions of the centre of output pixel (x, y) and its footprint along x and y.
struct Footprint {
    double u, v;     // source position
    double dux, dvx; // change of (u, v) for one output pixel to the right
    double duy, dvy; // change of (u, v) for one output pixel down
};
Footprint footprintAt(const Homography &map, double x, double y);

// The samples an output pixel takes along an axis whose step in the source is (du, dv).
std::size_t samplesFor(double du, double dv);

// Writes the outWidth x outHeight RGB output (3 bytes a pixel) of the source picture (width x
// height, pixelBytes apart: 3 or 4). Samples outside the source are white paper. The output
// rows are shared among the cores.
void warpPerspective(const std::uint8_t *rgb, std::size_t width, std::size_t height, std::size_t pixelBytes,
                     const Homography &map, std::uint8_t *out, std::size_t outWidth, std::size_t outHeight);

} // namespace steps
