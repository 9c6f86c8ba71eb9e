// Bilinear taps and their runs.
#include "interpolation_taps.hpp"

#include <algorithm>

namespace steps {

std::vector<Tap> bilinearTaps(std::size_t fullSize, std::size_t smallSize)
{
    std::vector<Tap> taps(fullSize);
    const double scale = double(smallSize) / double(fullSize);
    for (std::size_t i = 0; i < fullSize; ++i) {
        const double position = std::clamp((double(i) + 0.5) * scale - 0.5, 0.0, double(smallSize - 1));
        const std::size_t first = std::size_t(position);
        taps[i] = {first, std::min(first + 1, smallSize - 1), float(position - double(first))};
    }
    return taps;
}

std::vector<Run> runsOf(const std::vector<Tap> &taps)
{
    std::vector<Run> runs;
    for (std::size_t x = 0; x < taps.size(); ++x) {
        if (runs.empty() || runs.back().first != taps[x].first)
            runs.push_back({taps[x].first, taps[x].second, x, x});
        runs.back().end = x + 1;
    }
    return runs;
}

} // namespace steps
