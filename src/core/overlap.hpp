// Overlap tests for the fast paths: a pass may only treat its planes as independent (restrict,
// whole-plane loops) when the byte ranges it touches are pairwise disjoint. A script can make
// two variables name the same or overlapping memory, and then the pass must fall back to the
// exact pixel-by-pixel order of visits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace vantrel {

struct ByteRange {
    const unsigned char *begin;
    std::size_t size;
};

// True when two non-empty ranges share at least one byte. Compares addresses as integers,
// since the ranges may belong to unrelated allocations.
inline bool rangesOverlap(ByteRange a, ByteRange b)
{
    if (a.size == 0 || b.size == 0)
        return false;
    const std::uintptr_t a0 = reinterpret_cast<std::uintptr_t>(a.begin);
    const std::uintptr_t b0 = reinterpret_cast<std::uintptr_t>(b.begin);
    return a0 < b0 + b.size && b0 < a0 + a.size;
}

// True when any two of the ranges overlap.
inline bool anyOverlap(std::initializer_list<ByteRange> ranges)
{
    for (auto i = ranges.begin(); i != ranges.end(); ++i)
        for (auto j = i + 1; j != ranges.end(); ++j)
            if (rangesOverlap(*i, *j))
                return true;
    return false;
}

// True when any range of the first list overlaps any range of the second.
inline bool anyOverlapBetween(std::initializer_list<ByteRange> first, std::initializer_list<ByteRange> second)
{
    for (const ByteRange &a : first)
        for (const ByteRange &b : second)
            if (rangesOverlap(a, b))
                return true;
    return false;
}

} // namespace vantrel
