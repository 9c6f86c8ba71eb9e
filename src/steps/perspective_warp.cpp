// Each output row is worked in runs of pixels. A run whose footprints span at most about one
// source pixel (the common case when the output keeps the page's resolution) takes one bilinear
// sample a pixel, its positions stepped in fixed point with no division; larger footprints take
// a grid of samples spread over them; runs that touch the picture's border are mapped pixel by
// pixel.
#include "perspective_warp.hpp"

#include "bilinear_sample.hpp"
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
    const double squared = du * du + dv * dv;
    if (!(squared > 1.25 * 1.25)) // the common case, without a square root
        return 1;
    return std::min(kMaxSamplesPerAxis, std::size_t(std::ceil(std::sqrt(squared))));
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
// further out the sample is white. The arithmetic is that of addSampleAt.
// A shrinking run may step its footprints along a straight line when the map strays from that
// line by at most this much (in source pixels) at the run's middle, where a perspective strays
// most. A strong perspective on a small picture strays further (3/100 of a pixel over 16 pixels
// is possible): its runs take the exact footprints.
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

template <std::size_t PixelBytes> SampleSum addBorderSample(const Source &source, float u, float v, SampleSum sum)
{
    const float maxU = float(source.width - 1), maxV = float(source.height - 1);
    if (!(u >= -0.5f && v >= -0.5f && u <= maxU + 0.5f && v <= maxV + 0.5f))
        return addLevel(255u * kSampleOne, sum);
    u = std::clamp(u, 0.0f, maxU);
    v = std::clamp(v, 0.0f, maxV);
    const std::size_t x0 = std::min(std::size_t(u), source.width - 1), y0 = std::min(std::size_t(v), source.height - 1);
    const std::size_t x1 = std::min(x0 + 1, source.width - 1), y1 = std::min(y0 + 1, source.height - 1);
    const std::uint32_t fx = std::uint32_t((u - float(x0)) * 256.0f), fy = std::uint32_t((v - float(y0)) * 256.0f);
    const std::uint8_t *a = source.rgb + source.stride * y0 + PixelBytes * x0;
    const std::uint8_t *b = source.rgb + source.stride * y0 + PixelBytes * x1;
    const std::uint8_t *c = source.rgb + source.stride * y1 + PixelBytes * x0;
    const std::uint8_t *d = source.rgb + source.stride * y1 + PixelBytes * x1;
    std::uint32_t channels[3];
    for (std::size_t k = 0; k < 3; ++k)
        channels[k] = mixRow(a[k], b[k], fx) * (256 - fy) + mixRow(c[k], d[k], fx) * fy;
    return addChannels(channels[0], channels[1], channels[2], sum);
}

// Adds the bilinear sample at (u, v) to sum.
template <std::size_t PixelBytes>
inline SampleSum addSample(const Source &source, float u, float v, float maxU, float maxV, SampleSum sum)
{
    if (u >= 0.0f && v >= 0.0f && u < maxU && v < maxV)
        return addFixedSample<PixelBytes>(source.rgb, source.stride, std::int64_t(double(u) * 65536.0),
                                          std::int64_t(double(v) * 65536.0), sum);
    return addBorderSample<PixelBytes>(source, u, v, sum);
}

// Writes the mean of count samples as one output pixel.
inline void storeMean(std::uint8_t *pixel, SampleSum sum, std::uint32_t count)
{
    std::uint32_t channels[3];
    channelsOf(sum, channels);
    for (std::size_t k = 0; k < 3; ++k)
        pixel[k] = std::uint8_t((channels[k] / count + kSampleOne / 2) >> kSampleShift);
}

// A coordinate along a run, stepped as a quadratic by forward differences, 32 fractional bits:
// a homography bends its positions along a row, and over a run a quadratic through both ends
// with the first's slope follows it to far below 1/1000 of a pixel, where a straight line could
// be a few hundredths off under a strong perspective.
struct QuadraticSteps {
    std::int64_t value, step, change;

    // From position start (at pixel 0) with slope at pixel 0 to position end at pixel steps.
    static QuadraticSteps through(double start, double slope, double end, double steps)
    {
        constexpr double kOne = 4294967296.0;
        const double bend = steps > 0 ? (end - start - slope * steps) / (steps * steps) : 0.0;
        return {std::int64_t(start * kOne), std::int64_t((slope + bend) * kOne), std::int64_t(2.0 * bend * kOne)};
    }

    // The position in 16 fractional bits, then one pixel on.
    std::int64_t next()
    {
        const std::int64_t position = value >> 16;
        value += step;
        step += change;
        return position;
    }
};

// One sample a pixel along a run whose samples all lie inside the picture with their 2 x 2
// neighbours.
template <std::size_t PixelBytes>
void sampleRun(const std::uint8_t *__restrict rgb, std::size_t stride, QuadraticSteps u, QuadraticSteps v,
               std::uint8_t *__restrict out, std::size_t count)
{
    if (count == 0)
        return;
    // Every pixel but the last may write a byte past itself: the next one overwrites it.
    for (std::size_t i = 0; i + 1 < count; ++i) {
        const std::int64_t x = u.next(), y = v.next();
        storeSampleOver(out + 3 * i, addFixedSample<PixelBytes>(rgb, stride, x, y, noSample()));
    }
    const std::int64_t x = u.next(), y = v.next();
    storeSample(out + 3 * (count - 1), addFixedSample<PixelBytes>(rgb, stride, x, y, noSample()));
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
                // The ends a little inside, so that the bend between them stays inside too.
                constexpr double kMargin = 1.0 / 16.0;
                const bool inside = std::min(u0, u1) >= kMargin && std::min(v0, v1) >= kMargin &&
                                    std::max(u0, u1) < maxU - kMargin && std::max(v0, v1) < maxV - kMargin;
                if (inside) {
                    const double steps = double(end - start - 1);
                    sampleRun<PixelBytes>(source.rgb, source.stride, QuadraticSteps::through(u0, a.dux, u1, steps),
                                          QuadraticSteps::through(v0, a.dvx, v1, steps), row + 3 * start, end - start);
                    continue;
                }
                for (std::size_t x = start; x < end; ++x, nu += m[0], nv += m[3], nw += m[6]) {
                    const double inverse = 1.0 / nw;
                    storeSample(row + 3 * x, addSample<PixelBytes>(source, float(nu * inverse - 0.5),
                                                                   float(nv * inverse - 0.5), maxU, maxV, noSample()));
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
                    SampleSum sum = noSample();
                    for (std::size_t j = 0; j < down; ++j, rowU += nextU, rowV += nextV) {
                        std::int64_t u = rowU, v = rowV;
                        for (std::size_t i = 0; i < across; ++i, u += alongU, v += alongV)
                            sum = addFixedSample<PixelBytes>(source.rgb, source.stride, u, v, sum);
                    }
                    storeMean(row + 3 * x, sum, count);
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
                SampleSum sum = noSample();
                for (std::size_t j = 0; j < down; ++j) {
                    const double oy = (double(j) + 0.5) / double(down) - 0.5;
                    for (std::size_t i = 0; i < across; ++i) {
                        const double ox = (double(i) + 0.5) / double(across) - 0.5;
                        sum = addSample<PixelBytes>(source, float(f.u + ox * f.dux + oy * f.duy - 0.5),
                                                    float(f.v + ox * f.dvx + oy * f.dvy - 0.5), maxU, maxV, sum);
                    }
                }
                // The sum of at most 64 samples of at most 255 x kSampleOne each fits 32 bits.
                storeMean(row + 3 * x, sum, count);
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
