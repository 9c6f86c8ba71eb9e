// How many samples each operation touches in the buffers it works on, stated once: the core
// loops walk exactly these counts, and the binding checks the buffers against the same counts
// before it lets an operation run.
#pragma once

#include "image_state.hpp"

#include <cstddef>

namespace vantrel {

// Iterations of one flat loop "k = 0 while k < a x b": the product when it is positive, else
// none. Two negative sizes make a positive product, and such a loop runs. The product is formed
// in 64 bits, so pictures of more than 2^31 samples still count right.
inline std::size_t flatLoopCount(int a, int b)
{
    const long long n = static_cast<long long>(a) * b;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// Samples visited by nested loops over rows 0 .. rows - 1 and, in each, columns 0 .. cols - 1:
// none unless both are positive.
inline std::size_t nestedLoopCount(int rows, int cols)
{
    return rows > 0 && cols > 0 ? static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) : 0;
}

// SetData: samples of each input plane, and bytes of data, it writes (3 times as many read).
inline std::size_t setDataExtent() { return flatLoopCount(width, height); }

// GetData: samples of each output plane it reads (3 times as many bytes of data written).
inline std::size_t getDataExtent() { return flatLoopCount(outWidth, outHeight); }

// Samples of each output plane the ink passes and Flatten visit.
inline std::size_t colorRangeExtent() { return flatLoopCount(outWidth, outHeight); }
inline std::size_t setColorsExtent() { return nestedLoopCount(outHeight, outWidth); }
inline std::size_t flattenExtent() { return flatLoopCount(outWidth, outHeight); }
inline std::size_t removeNoiseExtent() { return nestedLoopCount(outHeight, outWidth); }

// What Calculate touches: every sample of the input planes, and a block of output rows placed
// outWidth apart, one for each odd input row off the border, one column for each odd input
// column off the border.
struct CalculateBlock {
    long long rows = 0;           // output rows written
    long long columns = 0;        // output columns written in each
    long long lastRowStart = 0;   // (rows - 1) x outWidth: negative when outWidth is
    std::size_t inputSamples = 0; // of each input plane, whitened
    std::size_t outputEnd = 0;    // one past the last output sample written; 0 when none is
    long long finalPos = 0;       // pos afterwards: rows x outWidth
};

inline CalculateBlock calculateBlock()
{
    CalculateBlock block;
    block.rows = height >= 3 ? (height - 1) / 2 : 0;
    block.columns = width >= 3 ? (width - 1) / 2 : 0;
    block.inputSamples = nestedLoopCount(height, width);
    block.finalPos = block.rows * outWidth;
    if (block.rows > 0 && block.columns > 0) {
        block.lastRowStart = (block.rows - 1) * outWidth;
        if (block.lastRowStart >= 0)
            block.outputEnd = static_cast<std::size_t>(block.lastRowStart + block.columns);
    }
    return block;
}

} // namespace vantrel
