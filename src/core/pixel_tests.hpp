// The tests of a pixel against the background cut and of an ink's dominance, shared by every
// pass. Written with & and | on values that are all computed anyway: in the vector loops they
// become byte-lane masks, and in the in-order loops they answer exactly as && and || would.
// They take samples of any integer type: given bytes, the comparisons stay in byte lanes.
#pragma once

namespace vantrel {

// Background cut: a sample strictly above it is light, strictly below it dark.
constexpr int kBackgroundCut = 200;

// A dominant sample is at least this much above both others.
constexpr int kDominanceMargin = 50;

// Background: green light together with red or blue light; whitened by Calculate and SetColors.
template <class Sample> constexpr bool isBackground(Sample r, Sample g, Sample b)
{
    return (g > kBackgroundCut) & ((r > kBackgroundCut) | (b > kBackgroundCut));
}

// Dark: green dark together with red or blue dark; black after Flatten, counted by RemoveNoise.
template <class Sample> constexpr bool isDark(Sample r, Sample g, Sample b)
{
    return (g < kBackgroundCut) & ((r < kBackgroundCut) | (b < kBackgroundCut));
}

// A light sample: above the cut but not white.
template <class Sample> constexpr bool isLightSample(Sample v) { return (v > kBackgroundCut) & (v < 255); }

// Pale: green a light sample, and red one too or red dark and blue light; darkened by Flatten.
template <class Sample> constexpr bool isPale(Sample r, Sample g, Sample b)
{
    return isLightSample(g) & (isLightSample(r) | ((r < kBackgroundCut) & isLightSample(b)));
}

// The inks by their dominant channel, and the dominance test tried in the order red, green,
// blue. Sums are formed as ints, so g + 50 does not wrap.
enum Ink { kRedInk = 0, kGreenInk = 1, kBlueInk = 2, kNoInk = 3 };

constexpr int inkOf(int r, int g, int b)
{
    if (r >= g + kDominanceMargin && r >= b + kDominanceMargin)
        return kRedInk;
    if (g >= r + kDominanceMargin && g >= b + kDominanceMargin)
        return kGreenInk;
    if (b >= r + kDominanceMargin && b >= g + kDominanceMargin)
        return kBlueInk;
    return kNoInk;
}

// Whether any dominance test holds, for the vector loops; at most one does, so their order does
// not matter here. R >= G + 50 is tested as R >= 50 and R - 50 >= G, which never leaves a byte.
constexpr bool isInk(unsigned char R, unsigned char G, unsigned char B)
{
    const unsigned char r = static_cast<unsigned char>(R - kDominanceMargin);
    const unsigned char g = static_cast<unsigned char>(G - kDominanceMargin);
    const unsigned char b = static_cast<unsigned char>(B - kDominanceMargin);
    return ((R >= kDominanceMargin) & (r >= G) & (r >= B)) | ((G >= kDominanceMargin) & (g >= R) & (g >= B)) |
           ((B >= kDominanceMargin) & (b >= R) & (b >= G));
}

} // namespace vantrel
