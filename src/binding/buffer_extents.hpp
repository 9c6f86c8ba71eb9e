// What the binding knows of the memory a buffer variable names: whether it lies in a block the
// module allocated (and how many bytes are left from the pointer to the end of that block), in
// one of the nine registers, in a block the module has since released, or in memory the module
// never handed out. The checks before every core call are built on it. No interpreter calls.
#pragma once

#include "../core/buffers.hpp"

#include <array>
#include <cstddef>

namespace vantrel {

enum class ExtentKind {
    Null,     // the null pointer
    Known,    // inside a live block of the module or a register: `bytes` are left from it
    Released, // inside a block the module has released: never to be touched
    Unknown,  // memory the module never handed out (typed in by hand): trusted as it stands
};

struct Extent {
    ExtentKind kind;
    std::size_t bytes; // meaningful for Known only
};

Extent extentFrom(const unsigned char *pointer);

// CreateArrays and Cleanup as every caller in the binding must run them: the blocks they
// release are recorded, so that pointers into them are refused from now on.
bool trackedCreateArrays();
void trackedCleanup();

// Records that the blocks of an earlier allocation (as ownedBlocks() listed them before a
// CreateArrays or Cleanup) are released, so pointers into them are refused from now on. Blocks
// still owned are skipped. The two tracked calls above are built on it.
void retireBlocks(const std::array<OwnedBlock, 7> &before);

// Number of separate released ranges remembered; they merge when they touch.
std::size_t releasedRangeCount();

} // namespace vantrel
