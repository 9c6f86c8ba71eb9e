// The picture buffers: allocation and release, the interleaved picture in and out of the
// planes, single-sample access and the size report.
#include "buffers.hpp"

#include "image_state.hpp"
#include "interleave.hpp"
#include "overlap.hpp"
#include "pass_extents.hpp"
#include "vector_clones.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vantrel {

namespace {

std::array<OwnedBlock, 7> owned{};

void releaseOwned()
{
    for (OwnedBlock &block : owned) {
        std::free(block.base);
        block = OwnedBlock{nullptr, 0};
    }
}

// Interleaved picture to planes, for planes and data that do not overlap: each loop is a
// plain stream over restrict pointers, which the compiler turns into byte shuffles.
VANTREL_VECTOR_CLONES
void splitPicture(const unsigned char *__restrict source, unsigned char *__restrict r, unsigned char *__restrict g,
                  unsigned char *__restrict b, unsigned char *__restrict interleaved, std::size_t n)
{
    for (std::size_t j = 0; j < n; ++j) {
        r[j] = source[3 * j];
        g[j] = source[3 * j + 1];
        b[j] = source[3 * j + 2];
    }
    std::memcpy(interleaved, source, n);
}

} // namespace

const std::array<OwnedBlock, 7> &ownedBlocks() { return owned; }

std::size_t inputPlaneSize() { return static_cast<std::size_t>(width) * static_cast<std::size_t>(height); }
std::size_t outputPlaneSize() { return static_cast<std::size_t>(outWidth) * static_cast<std::size_t>(outHeight); }
std::size_t dataSize() { return 3 * inputPlaneSize() + 1; }

bool CreateArrays()
{
    const std::size_t sizes[7] = {inputPlaneSize(),  inputPlaneSize(),  inputPlaneSize(), outputPlaneSize(),
                                  outputPlaneSize(), outputPlaneSize(), dataSize()};
    std::array<OwnedBlock, 7> fresh{};
    for (int i = 0; i < 7; ++i) {
        // Zero-filled, so nothing read back is stale heap content; an empty plane still gets a
        // block of its own, so every allocated variable reads as a distinct non-null pointer.
        unsigned char *block = static_cast<unsigned char *>(std::calloc(sizes[i] ? sizes[i] : 1, 1));
        if (block == nullptr) {
            for (OwnedBlock &done : fresh)
                std::free(done.base);
            return false;
        }
        fresh[i] = OwnedBlock{block, sizes[i]};
    }
    releaseOwned();
    owned = fresh;
    red = owned[0].base;
    green = owned[1].base;
    blue = owned[2].base;
    outRed = owned[3].base;
    outGreen = owned[4].base;
    outBlue = owned[5].base;
    data = owned[6].base; // its last byte is the closing zero, already cleared by calloc
    return true;
}

void SetData(const unsigned char *source)
{
    const std::size_t n = setDataExtent();
    unsigned char *const r = red, *const g = green, *const b = blue, *const d = data;
    if (!anyOverlap({{r, n}, {g, n}, {b, n}, {d, n}})) {
        splitPicture(source, r, g, b, d, n);
        return;
    }
    // Overlapping destinations: keep the exact order of stores, pixel by pixel.
    for (std::size_t j = 0; j < n; ++j) {
        r[j] = source[3 * j];
        g[j] = source[3 * j + 1];
        b[j] = source[3 * j + 2];
        d[j] = source[j];
    }
}

unsigned char *GetData()
{
    const std::size_t n = getDataExtent();
    const unsigned char *const r = outRed, *const g = outGreen, *const b = outBlue;
    unsigned char *const d = data;
    if (!anyOverlapBetween({{d, 3 * n}}, {{r, n}, {g, n}, {b, n}})) {
        interleavePlanes(r, g, b, d, n, true); // no sample written as 0: the text stays unbroken
        return d;
    }
    // data overlaps an output plane: a store may change a sample read later, so keep the
    // exact order of reads and stores.
    for (std::size_t j = 0; j < n; ++j) {
        d[3 * j] = static_cast<unsigned char>(r[j] + (r[j] == 0));
        d[3 * j + 1] = static_cast<unsigned char>(g[j] + (g[j] == 0));
        d[3 * j + 2] = static_cast<unsigned char>(b[j] + (b[j] == 0));
    }
    return d;
}

void SetPixelData(unsigned char r, unsigned char g, unsigned char b, int index)
{
    red[index] = r;
    green[index] = g;
    blue[index] = b;
}

unsigned char GetRed(int index) { return outRed[index]; }
unsigned char GetGreen(int index) { return outGreen[index]; }
unsigned char GetBlue(int index) { return outBlue[index]; }

void Cleanup()
{
    releaseOwned();
    red = green = blue = nullptr;
    outRed = outGreen = outBlue = nullptr;
    data = nullptr;
}

void dump()
{
    std::printf("Width  = %d.\n", width);
    std::printf("Height = %d.\n", height);
    std::printf("outWidth = %d.\n", outWidth);
    std::printf("outHeight = %d.\n", outHeight);
    // The interpreter keeps its own output buffer; flush ours so the report is not held back.
    std::fflush(stdout);
}

} // namespace vantrel
