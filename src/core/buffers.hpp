// The picture buffers: allocation and release, the interleaved picture in and out of the
// planes, single-sample access and the size report.
#pragma once

#include <array>
#include <cstddef>

namespace vantrel {

// One heap block the module allocated, with the number of bytes the picture uses of it.
struct OwnedBlock {
    unsigned char *base;
    std::size_t size;
};

// The seven blocks of the last successful CreateArrays, in the order red, green, blue, outRed,
// outGreen, outBlue, data; all null when there are none (at load, after Cleanup).
const std::array<OwnedBlock, 7> &ownedBlocks();

// Byte counts CreateArrays would allocate for the current sizes. The caller guarantees
// non-negative sizes whose counts fit in size_t.
std::size_t inputPlaneSize();
std::size_t outputPlaneSize();
std::size_t dataSize();

// Allocates zero-filled input planes, output planes and data (with its closing zero byte) for
// the current sizes and points the seven variables at them. All or nothing: on a failed
// allocation nothing changes and it returns false. On success the module's blocks from an
// earlier call are released, so repeated calls do not accumulate memory.
bool CreateArrays();

// Splits the interleaved picture into the input planes and copies its first width x height
// bytes into data. The caller guarantees the source holds 3 x width x height bytes and the
// buffers hold width x height samples each.
void SetData(const unsigned char *source);

// Interleaves the output planes into data, writing every 0 sample as 1, and returns data.
// The caller guarantees data holds 3 x outWidth x outHeight bytes.
unsigned char *GetData();

// Stores one sample in each input plane at index, which the caller guarantees is inside them.
void SetPixelData(unsigned char r, unsigned char g, unsigned char b, int index);

// One sample of an output plane, unchanged; index inside the plane.
unsigned char GetRed(int index);
unsigned char GetGreen(int index);
unsigned char GetBlue(int index);

// Releases the module's blocks, each once whichever variables name it, and sets the seven
// buffer variables to null. Memory the module did not allocate is never released.
void Cleanup();

// Writes the four sizes to standard output.
void dump();

} // namespace vantrel
