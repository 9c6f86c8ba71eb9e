#include "line_votes.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace steps {

std::size_t rhoBins(std::size_t width, std::size_t height)
{
    const std::size_t diagonal = std::size_t(std::ceil(std::hypot(double(width), double(height))));
    return 2 * diagonal + 1;
}

void voteLines(const float *gx, const float *gy, std::size_t width, std::size_t height, const LineVoteRules &rules,
               float *votes)
{
    const std::size_t bins = rules.angleBins, rhoCount = rhoBins(width, height);
    const double diagonal = double(rhoCount / 2);
    const double binAngle = 2.0 * 3.14159265358979323846 / double(bins);
    std::vector<float> cosines(bins), sines(bins);
    for (std::size_t t = 0; t < bins; ++t) {
        cosines[t] = float(std::cos(binAngle * double(t)));
        sines[t] = float(std::sin(binAngle * double(t)));
    }
    const float minSquared = rules.minStrength * rules.minStrength;
    const long spread = long(rules.spread), binCount = long(bins);
    for (std::size_t y = 0; y < height; ++y) {
        const float *rowX = gx + width * y, *rowY = gy + width * y;
        for (std::size_t x = 0; x < width; ++x) {
            const float dx = rowX[x], dy = rowY[x];
            const float squared = dx * dx + dy * dy;
            if (squared < minSquared)
                continue;
            const float weight = std::min(std::sqrt(squared), rules.maxStrength);
            const double angle = std::atan2(double(dy), double(dx));
            const long centre = long(std::lround(angle / binAngle));
            for (long k = centre - spread; k <= centre + spread; ++k) {
                const std::size_t t = std::size_t(((k % binCount) + binCount) % binCount);
                const double rho = double(x) * cosines[t] + double(y) * sines[t] + diagonal;
                votes[rhoCount * t + std::size_t(rho + 0.5)] += weight;
            }
        }
    }
}

} // namespace steps
