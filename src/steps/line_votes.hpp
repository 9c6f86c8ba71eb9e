// Votes for straight edges (a Hough transform with oriented lines): every edge pixel votes, by
// its gradient's strength, for the lines through it whose normal lies within a few bins of its
// gradient's direction. A line is theta (the direction of its normal, pointing from dark to
// light, over the full circle) and rho (its distance from the origin along that normal).
#pragma once

#include <cstddef>

namespace steps {

struct LineVoteRules {
    std::size_t angleBins = 360; // over the full circle
    std::size_t spread = 2;      // a pixel votes for its gradient's bin and this many on each side
    float minStrength = 4.0f;    // weaker gradients do not vote
    float maxStrength = 40.0f;   // stronger ones vote as this much
};

// The number of rho bins (one pixel each) for a picture: rho runs from -diagonal to +diagonal.
std::size_t rhoBins(std::size_t width, std::size_t height);

// Adds the votes of the gradients (width x height each) to votes (angleBins x rhoBins floats,
// zeroed by the caller). Rho bin r holds rho = r - diagonal.
void voteLines(const float *gx, const float *gy, std::size_t width, std::size_t height, const LineVoteRules &rules,
               float *votes);

} // namespace steps
