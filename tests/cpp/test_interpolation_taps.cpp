// The bilinear taps of the evening's paper row and the runs that share them.
#include "interpolation_taps.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace steps;

TEST(InterpolationTaps, EachTapIsTheAlignedCentreBetweenTwoNeighbours)
{
    for (std::size_t small : {1u, 2u, 5u, 128u})
        for (std::size_t full : {1u, 3u, 17u, 640u, 4001u}) {
            const std::vector<Tap> taps = bilinearTaps(full, small);
            ASSERT_EQ(taps.size(), full);
            for (std::size_t i = 0; i < full; ++i) {
                const Tap &tap = taps[i];
                const double centre = (double(i) + 0.5) * double(small) / double(full) - 0.5;
                const double expected = std::clamp(centre, 0.0, double(small - 1));
                EXPECT_LT(tap.first, small);
                EXPECT_EQ(tap.second, std::min(tap.first + 1, small - 1));
                EXPECT_GE(tap.weight, 0.0f);
                EXPECT_LT(tap.weight, 1.0f);
                EXPECT_NEAR(double(tap.first) + tap.weight, expected, 1e-6) << full << " from " << small << " at " << i;
            }
        }
}

TEST(InterpolationTaps, RunsCoverEveryColumnOnceAndShareTheirNeighbours)
{
    for (std::size_t small : {1u, 3u, 128u})
        for (std::size_t full : {1u, 2u, 17u, 4001u}) {
            const std::vector<Tap> taps = bilinearTaps(full, small);
            const std::vector<steps::Run> runs = runsOf(taps);
            ASSERT_FALSE(runs.empty());
            EXPECT_EQ(runs.front().begin, 0u);
            EXPECT_EQ(runs.back().end, full);
            for (std::size_t r = 0; r < runs.size(); ++r) {
                EXPECT_LT(runs[r].begin, runs[r].end);
                if (r > 0) {
                    EXPECT_EQ(runs[r].begin, runs[r - 1].end);
                    EXPECT_GT(runs[r].first, runs[r - 1].first);
                }
                for (std::size_t x = runs[r].begin; x < runs[r].end; ++x) {
                    EXPECT_EQ(taps[x].first, runs[r].first);
                    EXPECT_EQ(taps[x].second, runs[r].second);
                }
            }
            EXPECT_LE(runs.size(), small);
        }
}
