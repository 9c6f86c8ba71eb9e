// Each output row walks the homography's numerators and denominator by additions; a pixel whose
// footprint spans at most about one source pixel takes one bilinear sample (the common case when
// the output keeps the page's resolution), a larger one a grid of them spread over its footprint.
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
    std::size_t width, height, pixelBytes;
};

// Adds the bilinear sample at (u, v) to sum; outside the picture the sample is white.
inline void addSample(const Source &source, double u, double v, float sum[3])
{
    const double maxU = double(source.width - 1), maxV = double(source.height - 1);
    if (!(u >= -0.5 && v >= -0.5 && u <= maxU + 0.5 && v <= maxV + 0.5)) {
        sum[0] += 255.0f;
        sum[1] += 255.0f;
        sum[2] += 255.0f;
        return;
    }
    u = std::clamp(u, 0.0, maxU);
    v = std::clamp(v, 0.0, maxV);
    const std::size_t x0 = std::min(std::size_t(u), source.width - 1), y0 = std::min(std::size_t(v), source.height - 1);
    const std::size_t x1 = std::min(x0 + 1, source.width - 1), y1 = std::min(y0 + 1, source.height - 1);
    const float fx = float(u - double(x0)), fy = float(v - double(y0));
    const std::size_t stride = source.pixelBytes * source.width, step = source.pixelBytes;
    const std::uint8_t *a = source.rgb + stride * y0 + step * x0, *b = source.rgb + stride * y0 + step * x1;
    const std::uint8_t *c = source.rgb + stride * y1 + step * x0, *d = source.rgb + stride * y1 + step * x1;
    for (std::size_t k = 0; k < 3; ++k) {
        const float top = float(a[k]) + fx * float(int(b[k]) - int(a[k]));
        const float bottom = float(c[k]) + fx * float(int(d[k]) - int(c[k]));
        sum[k] += top + fy * (bottom - top);
    }
}

void warpRows(const Source &source, const Homography &m, std::uint8_t *out, std::size_t outWidth, std::size_t first,
              std::size_t last)
{
    for (std::size_t y = first; y < last; ++y) {
        const double cy = double(y) + 0.5;
        std::uint8_t *row = out + 3 * outWidth * y;
        for (std::size_t x = 0; x < outWidth; ++x) {
            const Footprint f = footprintAt(m, double(x) + 0.5, cy);
            const std::size_t across = samplesFor(f.dux, f.dvx), down = samplesFor(f.duy, f.dvy);
            float sum[3] = {0.0f, 0.0f, 0.0f};
            if (across == 1 && down == 1) {
                // Pixel centres sit at integer source positions: (u, v) of a centre is x + 0.5.
                addSample(source, f.u - 0.5, f.v - 0.5, sum);
            } else {
                for (std::size_t j = 0; j < down; ++j) {
                    const double oy = (double(j) + 0.5) / double(down) - 0.5;
                    for (std::size_t i = 0; i < across; ++i) {
                        const double ox = (double(i) + 0.5) / double(across) - 0.5;
                        addSample(source, f.u + ox * f.dux + oy * f.duy - 0.5, f.v + ox * f.dvx + oy * f.dvy - 0.5,
                                  sum);
                    }
                }
                const float scale = 1.0f / float(across * down);
                sum[0] *= scale;
                sum[1] *= scale;
                sum[2] *= scale;
            }
            row[3 * x] = std::uint8_t(std::min(255.0f, sum[0] + 0.5f));
            row[3 * x + 1] = std::uint8_t(std::min(255.0f, sum[1] + 0.5f));
            row[3 * x + 2] = std::uint8_t(std::min(255.0f, sum[2] + 0.5f));
        }
    }
}

} // namespace

void warpPerspective(const std::uint8_t *rgb, std::size_t width, std::size_t height, std::size_t pixelBytes,
                     const Homography &map, std::uint8_t *out, std::size_t outWidth, std::size_t outHeight)
{
    const Source source{rgb, width, height, pixelBytes};
    forRowRanges(outHeight, 3 * outWidth,
                 [&](std::size_t first, std::size_t last) { warpRows(source, map, out, outWidth, first, last); });
}

} // namespace steps
