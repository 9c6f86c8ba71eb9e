// The black ink's cast and spread: medians over the dark, near-grey pixels, sampled sparsely
// (every kStride-th pixel) so that a page full of ink costs no more than a few thousand colours.
#include "ink_neutral.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace steps {

namespace {

constexpr std::size_t kStride = 3;
// The black's chroma spread (its median distance from the cast) times this is the cut: a colour
// that far from the black is no noise of it. Never below kLeastCut, where JPEG's own colour
// noise lies.
constexpr double kSpreads = 4.0;
constexpr double kLeastCut = 5.0;

double medianOf(std::vector<double> &values)
{
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

} // namespace

InkNeutral inkNeutral(const std::uint8_t *rgb, const std::uint16_t *contrast, std::size_t count,
                      const std::array<std::uint8_t, 256> &untone, std::uint16_t darkFrom, double chromaCut)
{
    InkNeutral neutral;
    neutral.chromaCut = chromaCut;
    std::vector<double> as, bs, ls;
    for (std::size_t i = 0; i < count; i += kStride) {
        if (contrast[i] < darkFrom)
            continue;
        const std::uint8_t *sample = rgb + 3 * i;
        const Lab lab = labOf(untone[sample[0]], untone[sample[1]], untone[sample[2]]);
        if (std::hypot(lab.a, lab.b) >= chromaCut)
            continue;
        as.push_back(lab.a);
        bs.push_back(lab.b);
        ls.push_back(lab.L);
    }
    if (as.size() < kNeutralSamples)
        return neutral;
    std::vector<double> spareA = as, spareB = bs;
    neutral.a = medianOf(spareA);
    neutral.b = medianOf(spareB);
    neutral.lightness = std::min(medianOf(ls), 90.0);
    std::vector<double> distances(as.size());
    for (std::size_t k = 0; k < as.size(); ++k)
        distances[k] = std::hypot(as[k] - neutral.a, bs[k] - neutral.b);
    // At most the rules' cut, also when that lies below kLeastCut (std::clamp may not be given a
    // lower bound above its upper one).
    neutral.chromaCut = std::min(std::max(kSpreads * medianOf(distances), kLeastCut), chromaCut);
    return neutral;
}

Lab neutralised(const Lab &lab, const InkNeutral &neutral)
{
    const double share = std::clamp((100.0 - lab.L) / (100.0 - neutral.lightness), 0.0, 1.0);
    return {lab.L, lab.a - share * neutral.a, lab.b - share * neutral.b};
}

} // namespace steps
