// The taps of a bilinear resize from a small picture to a full one, one axis at a time, and the
// runs of full-size columns that share their two taps.
#pragma once

#include <cstddef>
#include <vector>

namespace steps {

// Where a full-size pixel centre falls in the small picture: the two neighbours and the weight
// of the second, with the centres of both pictures aligned as in an ordinary bilinear resize.
struct Tap {
    std::size_t first;
    std::size_t second;
    float weight;
};

// The tap of each of fullSize positions into smallSize (both at least 1); positions beyond the
// first and last small centres take those centres (weight 0).
std::vector<Tap> bilinearTaps(std::size_t fullSize, std::size_t smallSize);

// The full-size columns that fall between the same two small columns, [begin, end): a row is
// interpolated a run at a time, with both ends fixed, in loops the compiler vectorises (a run is
// the full width over the small one, some 30 columns for a photo's paper estimate).
struct Run {
    std::size_t first;
    std::size_t second;
    std::size_t begin;
    std::size_t end;
};

// The runs of taps, in order; together they cover every position once.
std::vector<Run> runsOf(const std::vector<Tap> &taps);

} // namespace steps
