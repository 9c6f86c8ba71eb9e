// One bilinear sample of an RGB (or RGBX) picture at a position in fixed point, the warp's inner
// step: SSE2 where the compiler targets it, plain integers elsewhere, the same numbers from both.
//
// Positions have 16 fractional bits; the weights use the top 8 of them. Each row of the 2 x 2
// neighbours is mixed first, (left * (256 - fx) + right * fx) / 2, then the two rows by fy: the
// result is in 1/32768 of a level (kSampleOne), at most 255 * kSampleOne, so 64 of them still fit
// a 32-bit lane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace steps {

constexpr std::uint32_t kSampleShift = 15;
constexpr std::uint32_t kSampleOne = 1u << kSampleShift;

// Mixes two neighbours by the 8-bit weight fx: exactly what the vector path's madd does.
inline std::uint32_t mixRow(std::uint32_t left, std::uint32_t right, std::uint32_t fx)
{
    return (left * (256 - fx) + right * fx) >> 1;
}

#if defined(__SSE2__)

// Three channel sums in the low three 32-bit lanes.
using SampleSum = __m128i;

inline SampleSum noSample() { return _mm_setzero_si128(); }

// The left and right neighbours' channels interleaved and widened: r0 r1 g0 g1 b0 b1 . . as 16 bits.
template <std::size_t PixelBytes> inline __m128i neighbourPairs(const std::uint8_t *p)
{
    std::uint32_t left, right;
    std::memcpy(&left, p, 4);
    if (PixelBytes == 4) {
        std::memcpy(&right, p + 4, 4);
    } else {
        // Bytes 2..5 hold the right pixel in their top three: never a byte past the pair is read.
        std::memcpy(&right, p + 2, 4);
        right >>= 8;
    }
    const __m128i pairs = _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(left)), _mm_cvtsi32_si128(int(right)));
    return _mm_unpacklo_epi8(pairs, _mm_setzero_si128());
}

// Adds the sample whose top-left neighbour is p (the one below it stride bytes on) with weights
// fx, fy (0 to 255) to sum. The 2 x 2 neighbours lie in the picture.
template <std::size_t PixelBytes>
inline SampleSum addSampleAt(const std::uint8_t *p, std::size_t stride, std::uint32_t fx, std::uint32_t fy,
                             SampleSum sum)
{
    const __m128i across = _mm_set1_epi32(int((256 - fx) | (fx << 16)));
    const __m128i down = _mm_set1_epi32(int((256 - fy) | (fy << 16)));
    // Each row mixed across (at most 65280) and halved, so that both rows pack into 16-bit pairs.
    const __m128i top = _mm_srli_epi32(_mm_madd_epi16(neighbourPairs<PixelBytes>(p), across), 1);
    const __m128i bottom = _mm_srli_epi32(_mm_madd_epi16(neighbourPairs<PixelBytes>(p + stride), across), 1);
    const __m128i rows = _mm_or_si128(top, _mm_slli_epi32(bottom, 16));
    return _mm_add_epi32(sum, _mm_madd_epi16(rows, down));
}

// A sample of the same colour in every channel (white paper outside the picture).
inline SampleSum addLevel(std::uint32_t level, SampleSum sum) { return _mm_add_epi32(sum, _mm_set1_epi32(int(level))); }

inline SampleSum addChannels(std::uint32_t r, std::uint32_t g, std::uint32_t b, SampleSum sum)
{
    return _mm_add_epi32(sum, _mm_setr_epi32(int(r), int(g), int(b), 0));
}

// Writes one sample, rounded to levels, as an output pixel.
inline void storeSample(std::uint8_t *pixel, SampleSum sum)
{
    const __m128i levels = _mm_srai_epi32(_mm_add_epi32(sum, _mm_set1_epi32(int(kSampleOne / 2))), kSampleShift);
    const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(levels, levels), levels);
    // Three byte stores from the register: a copy through memory would stall on the reload.
    const std::uint32_t word = std::uint32_t(_mm_cvtsi128_si32(bytes));
    pixel[0] = std::uint8_t(word);
    pixel[1] = std::uint8_t(word >> 8);
    pixel[2] = std::uint8_t(word >> 16);
}

// Writes one sample as an output pixel and a byte of junk after it, which the next pixel's store
// overwrites: one store instead of three.
inline void storeSampleOver(std::uint8_t *pixel, SampleSum sum)
{
    const __m128i levels = _mm_srai_epi32(_mm_add_epi32(sum, _mm_set1_epi32(int(kSampleOne / 2))), kSampleShift);
    const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(levels, levels), levels);
    const std::uint32_t word = std::uint32_t(_mm_cvtsi128_si32(bytes));
    std::memcpy(pixel, &word, 4);
}

inline void channelsOf(SampleSum sum, std::uint32_t channels[3])
{
    alignas(16) std::uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes), sum);
    channels[0] = lanes[0];
    channels[1] = lanes[1];
    channels[2] = lanes[2];
}

#else

struct SampleSum {
    std::uint32_t c[3];
};

inline SampleSum noSample() { return {{0, 0, 0}}; }

template <std::size_t PixelBytes>
inline SampleSum addSampleAt(const std::uint8_t *p, std::size_t stride, std::uint32_t fx, std::uint32_t fy,
                             SampleSum sum)
{
    const std::uint8_t *q = p + stride;
    for (std::size_t k = 0; k < 3; ++k) {
        const std::uint32_t top = mixRow(p[k], p[k + PixelBytes], fx);
        const std::uint32_t bottom = mixRow(q[k], q[k + PixelBytes], fx);
        sum.c[k] += top * (256 - fy) + bottom * fy;
    }
    return sum;
}

inline SampleSum addLevel(std::uint32_t level, SampleSum sum)
{
    sum.c[0] += level;
    sum.c[1] += level;
    sum.c[2] += level;
    return sum;
}

inline SampleSum addChannels(std::uint32_t r, std::uint32_t g, std::uint32_t b, SampleSum sum)
{
    sum.c[0] += r;
    sum.c[1] += g;
    sum.c[2] += b;
    return sum;
}

inline void storeSample(std::uint8_t *pixel, SampleSum sum)
{
    for (std::size_t k = 0; k < 3; ++k)
        pixel[k] = std::uint8_t((sum.c[k] + kSampleOne / 2) >> kSampleShift);
}

inline void storeSampleOver(std::uint8_t *pixel, SampleSum sum) { storeSample(pixel, sum); }

inline void channelsOf(SampleSum sum, std::uint32_t channels[3])
{
    channels[0] = sum.c[0];
    channels[1] = sum.c[1];
    channels[2] = sum.c[2];
}

#endif

// Adds the sample at a fixed-point position (16 fractional bits) whose 2 x 2 neighbours lie in
// the picture.
template <std::size_t PixelBytes>
inline SampleSum addFixedSample(const std::uint8_t *rgb, std::size_t stride, std::int64_t u, std::int64_t v,
                                SampleSum sum)
{
    const std::uint8_t *p = rgb + stride * std::size_t(v >> 16) + PixelBytes * std::size_t(u >> 16);
    return addSampleAt<PixelBytes>(p, stride, std::uint32_t(u >> 8) & 255u, std::uint32_t(v >> 8) & 255u, sum);
}

} // namespace steps
