#include "edge_gradients.hpp"

#include <algorithm>

namespace steps {

void colourGradients(const float *rgb, std::size_t width, std::size_t height, float *gx, float *gy)
{
    std::fill(gx, gx + width * height, 0.0f);
    std::fill(gy, gy + width * height, 0.0f);
    if (width < 3 || height < 3)
        return;
    const std::size_t stride = 3 * width;
    for (std::size_t y = 1; y + 1 < height; ++y) {
        const float *__restrict above = rgb + stride * (y - 1);
        const float *__restrict here = rgb + stride * y;
        const float *__restrict below = rgb + stride * (y + 1);
        float *__restrict outX = gx + width * y;
        float *__restrict outY = gy + width * y;
        for (std::size_t x = 1; x + 1 < width; ++x) {
            float bestX = 0.0f, bestY = 0.0f, best = -1.0f;
            for (std::size_t c = 0; c < 3; ++c) {
                const std::size_t l = 3 * (x - 1) + c, m = 3 * x + c, r = 3 * (x + 1) + c;
                const float dx = (above[r] - above[l]) + 2.0f * (here[r] - here[l]) + (below[r] - below[l]);
                const float dy = (below[l] - above[l]) + 2.0f * (below[m] - above[m]) + (below[r] - above[r]);
                const float strength = dx * dx + dy * dy;
                if (strength > best) {
                    best = strength;
                    bestX = dx;
                    bestY = dy;
                }
            }
            outX[x] = 0.125f * bestX;
            outY[x] = 0.125f * bestY;
        }
    }
}

} // namespace steps
