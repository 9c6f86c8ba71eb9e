// Each output row walks the homography's numerators and denominator by additions, one division a
// pixel; a run of pixels whose footprints span at most about one source pixel takes one bilinear
// sample each (the common case when the output keeps the page's resolution), in fixed point,
// while larger footprints take a grid of samples spread over them.
#include "perspective_warp.hpp"

#include "row_ranges.hpp"

#include <algorithm>
#include <cmath>

namespace steps {

Footprint footprintAt(const Homography &m, double x, double y)
{
    const double w = m[6] * x + m[7] * y + m[8];
    const double u = (m[0] * x + m[1] * y + m[2]) / w;
    const double v = (m[3] * x + m[4] * y + m[5]) / w;
    return {u, v, (m[0] - u * m[6]) / w, (m[3] - v * m[6]) / w, (m[1] - u * m[7]) / w, (m[4] - v * m[7]) / w};
}

std::size_t samplesFor(double du, double dv)
{
    const double stretch = std::sqrt(du * du + dv * dv);
    if (!(stretch > 1.25))
        return 1;
    return std::min(kMaxSamplesPerAxis, std::size_t(std::ceil(stretch)));
}

namespace {

struct Source {
    const std::uint8_t *rgb;
    std::size_t width, height, stride;
};

// Output pixels are worked in runs of this many, each run with the sample grid of its larger
// end: the Jacobian changes little over a run.
constexpr std::size_t kRun = 16;

// Adds the bilinear sample at (u, v) (pixel centres at integers) to sum, in the slow way that
// handles the border: within half a pixel of the picture the nearest pixels are repeated,
// further out the sample is white.
template <std::size_t PixelBytes> void addBorderSample(const Source &source, float u, float v, std::uint32_t sum[3])
{
    const float maxU = float(source.width - 1), maxV = float(source.height - 1);
    if (!(u >= -0.5f && v >= -0.5f && u <= maxU + 0.5f && v <= maxV + 0.5f)) {
        sum[0] += 255u << 16;
        sum[1] += 255u << 16;
        sum[2] += 255u << 16;
        return;
    }
    u = std::clamp(u, 0.0f, maxU);
    v = std::clamp(v, 0.0f, maxV);
    const std::size_t x0 = std::min(std::size_t(u), source.width - 1), y0 = std::min(std::size_t(v), source.height - 1);
    const std::size_t x1 = std::min(x0 + 1, source.width - 1), y1 = std::min(y0 + 1, source.height - 1);
    const std::uint32_t fx = std::uint32_t((u - float(x0)) * 256.0f), fy = std::uint32_t((v - float(y0)) * 256.0f);
    const std::uint8_t *a = source.rgb + source.stride * y0 + PixelBytes * x0;
    const std::uint8_t *b = source.rgb + source.stride * y0 + PixelBytes * x1;
    const std::uint8_t *c = source.rgb + source.stride * y1 + PixelBytes * x0;
    const std::uint8_t *d = source.rgb + source.stride * y1 + PixelBytes * x1;
    for (std::size_t k = 0; k < 3; ++k) {
        const std::uint32_t top = a[k] * (256 - fx) + b[k] * fx, bottom = c[k] * (256 - fx) + d[k] * fx;
        sum[k] += top * (256 - fy) + bottom * fy;
    }
}

// Adds the bilinear sample at a position in fixed point (16 fractional bits) that lies inside
// the picture with its 2 x 2 neighbours.
template <std::size_t PixelBytes>
inline void addFixedSample(const Source &source, std::int64_t u, std::int64_t v, std::uint32_t sum[3])
{
    const std::uint32_t fx = std::uint32_t(u >> 8) & 255u, fy = std::uint32_t(v >> 8) & 255u;
    const std::uint8_t *p = source.rgb + source.stride * std::size_t(v >> 16) + PixelBytes * std::size_t(u >> 16);
    const std::uint8_t *q = p + source.stride;
    const std::uint32_t gx = 256 - fx, gy = 256 - fy;
    for (std::size_t k = 0; k < 3; ++k) {
        const std::uint32_t top = p[k] * gx + p[k + PixelBytes] * fx, bottom = q[k] * gx + q[k + PixelBytes] * fx;
        sum[k] += top * gy + bottom * fy;
    }
}

// Adds the bilinear sample at (u, v) to sum, in fixed point (weights of 1/256; the sum is in
// 1/65536 of a level).
template <std::size_t PixelBytes>
inline void addSample(const Source &source, float u, float v, float maxU, float maxV, std::uint32_t sum[3])
{
    if (u >= 0.0f && v >= 0.0f && u < maxU && v < maxV)
        addFixedSample<PixelBytes>(source, std::int64_t(double(u) * 65536.0), std::int64_t(double(v) * 65536.0), sum);
    else
        addBorderSample<PixelBytes>(source, u, v, sum);
}

// Writes the mean of count samples summed in fixed point as one output pixel.
inline void storePixel(std::uint8_t *pixel, const std::uint32_t sum[3], std::uint32_t count)
{
    pixel[0] = std::uint8_t((sum[0] / count + 32768u) >> 16);
    pixel[1] = std::uint8_t((sum[1] / count + 32768u) >> 16);
    pixel[2] = std::uint8_t((sum[2] / count + 32768u) >> 16);
}

// A run may step its positions along a straight line when the map strays from that line by at
// most this much (in source pixels) at the run's middle, where a perspective strays most: the
// bilinear weights resolve 1/256 of a pixel. A strong perspective on a small picture strays
// further (3/100 of a pixel over 16 pixels is possible): its runs take the exact positions.
constexpr double kMostStray = 1.0 / 256.0;

bool nearlyLinear(const Homography &m, const Footprint &a, const Footprint &b, std::size_t start, std::size_t end,
                  double cy)
{
    const std::size_t middle = start + (end - start) / 2;
    const double share = end - start > 1 ? double(middle - start) / double(end - start - 1) : 0.0;
    const Footprint c = footprintAt(m, double(middle) + 0.5, cy);
    return std::abs(c.u - (a.u + (b.u - a.u) * share)) <= kMostStray &&
           std::abs(c.v - (a.v + (b.v - a.v) * share)) <= kMostStray;
}

template <std::size_t PixelBytes>
void warpRows(const Source &source, const Homography &m, std::uint8_t *out, std::size_t outWidth, std::size_t first,
              std::size_t last)
{
    // Strictly inside these, a sample's 2 x 2 neighbours all lie in the picture.
    const float maxU = float(source.width - 1), maxV = float(source.height - 1);
    for (std::size_t y = first; y < last; ++y) {
        const double cy = double(y) + 0.5;
        std::uint8_t *row = out + 3 * outWidth * y;
        for (std::size_t start = 0; start < outWidth; start += kRun) {
            const std::size_t end = std::min(outWidth, start + kRun);
            const Footprint a = footprintAt(m, double(start) + 0.5, cy);
            const Footprint b = footprintAt(m, double(end - 1) + 0.5, cy);
            const std::size_t across = std::max(samplesFor(a.dux, a.dvx), samplesFor(b.dux, b.dvx));
            const std::size_t down = std::max(samplesFor(a.duy, a.dvy), samplesFor(b.duy, b.dvy));
            // Numerators and denominator at the first pixel's centre, stepped by one pixel.
            double nu = m[0] * (double(start) + 0.5) + m[1] * cy + m[2];
            double nv = m[3] * (double(start) + 0.5) + m[4] * cy + m[5];
            double nw = m[6] * (double(start) + 0.5) + m[7] * cy + m[8];
            if (across == 1 && down == 1) {
                // Pixel centres sit at integer source positions: the centre of (u, v) is u - 0.5.
                const double u0 = a.u - 0.5, v0 = a.v - 0.5, u1 = b.u - 0.5, v1 = b.v - 0.5;
                const bool inside =
                    u0 >= 0 && v0 >= 0 && u1 >= 0 && v1 >= 0 && u0 < maxU && u1 < maxU && v0 < maxV && v1 < maxV;
                const double steps = end - start > 1 ? double(end - start - 1) : 1.0;
                if (inside && nearlyLinear(m, a, b, start, end, cy)) {
                    // Over the run the map is nearly linear: the positions are stepped in fixed
                    // point, 16 fractional bits.
                    std::int64_t uFixed = std::int64_t(u0 * 65536.0), vFixed = std::int64_t(v0 * 65536.0);
                    const std::int64_t du = std::int64_t((u1 - u0) / steps * 65536.0);
                    const std::int64_t dv = std::int64_t((v1 - v0) / steps * 65536.0);
                    for (std::size_t x = start; x < end; ++x, uFixed += du, vFixed += dv) {
                        std::uint32_t sum[3] = {0, 0, 0};
                        addFixedSample<PixelBytes>(source, uFixed, vFixed, sum);
                        storePixel(row + 3 * x, sum, 1);
                    }
                    continue;
                }
                for (std::size_t x = start; x < end; ++x, nu += m[0], nv += m[3], nw += m[6]) {
                    const double inverse = 1.0 / nw;
                    std::uint32_t sum[3] = {0, 0, 0};
                    addSample<PixelBytes>(source, float(nu * inverse - 0.5), float(nv * inverse - 0.5), maxU, maxV,
                                          sum);
                    storePixel(row + 3 * x, sum, 1);
                }
                continue;
            }
            const std::uint32_t count = std::uint32_t(across * down);
            auto within = [&](const Footprint &f) {
                const double reachU = 0.5 * (std::abs(f.dux) + std::abs(f.duy)) + 0.5;
                const double reachV = 0.5 * (std::abs(f.dvx) + std::abs(f.dvy)) + 0.5;
                return f.u - reachU >= 0 && f.v - reachV >= 0 && f.u + reachU < double(maxU) &&
                       f.v + reachV < double(maxV);
            };
            if (within(a) && within(b) && nearlyLinear(m, a, b, start, end, cy)) {
                // The whole grid of every pixel of the run lies inside: the footprint is stepped
                // linearly along the run, the grid's samples in fixed point.
                const double steps = end - start > 1 ? double(end - start - 1) : 1.0;
                const double acrossStep = 1.0 / double(across), downStep = 1.0 / double(down);
                Footprint f = a;
                const Footprint step{(b.u - a.u) / steps,     (b.v - a.v) / steps,     (b.dux - a.dux) / steps,
                                     (b.dvx - a.dvx) / steps, (b.duy - a.duy) / steps, (b.dvy - a.dvy) / steps};
                for (std::size_t x = start; x < end; ++x) {
                    const double firstU =
                        f.u - 0.5 - 0.5 * (f.dux + f.duy) + 0.5 * (f.dux * acrossStep + f.duy * downStep);
                    const double firstV =
                        f.v - 0.5 - 0.5 * (f.dvx + f.dvy) + 0.5 * (f.dvx * acrossStep + f.dvy * downStep);
                    std::int64_t rowU = std::int64_t(firstU * 65536.0), rowV = std::int64_t(firstV * 65536.0);
                    const std::int64_t alongU = std::int64_t(f.dux * acrossStep * 65536.0);
                    const std::int64_t alongV = std::int64_t(f.dvx * acrossStep * 65536.0);
                    const std::int64_t nextU = std::int64_t(f.duy * downStep * 65536.0);
                    const std::int64_t nextV = std::int64_t(f.dvy * downStep * 65536.0);
                    std::uint32_t sum[3] = {0, 0, 0};
                    for (std::size_t j = 0; j < down; ++j, rowU += nextU, rowV += nextV) {
                        std::int64_t u = rowU, v = rowV;
                        for (std::size_t i = 0; i < across; ++i, u += alongU, v += alongV)
                            addFixedSample<PixelBytes>(source, u, v, sum);
                    }
                    storePixel(row + 3 * x, sum, count);
                    f.u += step.u;
                    f.v += step.v;
                    f.dux += step.dux;
                    f.dvx += step.dvx;
                    f.duy += step.duy;
                    f.dvy += step.dvy;
                }
                continue;
            }
            for (std::size_t x = start; x < end; ++x) {
                const Footprint f = footprintAt(m, double(x) + 0.5, cy);
                std::uint32_t sum[3] = {0, 0, 0};
                for (std::size_t j = 0; j < down; ++j) {
                    const double oy = (double(j) + 0.5) / double(down) - 0.5;
                    for (std::size_t i = 0; i < across; ++i) {
                        const double ox = (double(i) + 0.5) / double(across) - 0.5;
                        addSample<PixelBytes>(source, float(f.u + ox * f.dux + oy * f.duy - 0.5),
                                              float(f.v + ox * f.dvx + oy * f.dvy - 0.5), maxU, maxV, sum);
                    }
                }
                // The sum of count samples of 16 fractional bits each: at most 64 x 255 x 65536 fits.
                storePixel(row + 3 * x, sum, count);
            }
        }
    }
}

} // namespace

void warpPerspective(const std::uint8_t *rgb, std::size_t width, std::size_t height, std::size_t pixelBytes,
                     const Homography &map, std::uint8_t *out, std::size_t outWidth, std::size_t outHeight)
{
    const Source source{rgb, width, height, pixelBytes * width};
    forRowRanges(outHeight, 3 * outWidth, [&](std::size_t first, std::size_t last) {
        if (pixelBytes == 4)
            warpRows<4>(source, map, out, outWidth, first, last);
        else
            warpRows<3>(source, map, out, outWidth, first, last);
    });
}

} // namespace steps
