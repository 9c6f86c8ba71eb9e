// Extents of the memory buffer variables name: the module's live blocks, the nine registers,
// and the ranges of blocks released since load.
#include "buffer_extents.hpp"

#include "../core/image_state.hpp"

#include <cstdint>
#include <iterator>
#include <map>

namespace vantrel {

namespace {

// Released address ranges [begin, end), merged where they touch; malloc reuses addresses, so
// the map stays small however many pictures pass through the module.
std::map<std::uintptr_t, std::uintptr_t> released;

std::uintptr_t address(const void *pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

// A block spans at least one byte, the one the module allocated for an empty plane.
std::uintptr_t blockEnd(const OwnedBlock &block) { return address(block.base) + (block.size ? block.size : 1); }

void addReleased(std::uintptr_t begin, std::uintptr_t end)
{
    auto next = released.upper_bound(begin);
    if (next != released.begin()) {
        auto before = std::prev(next);
        if (before->second >= begin) {
            begin = before->first;
            end = before->second > end ? before->second : end;
            next = released.erase(before);
        }
    }
    while (next != released.end() && next->first <= end) {
        if (next->second > end)
            end = next->second;
        next = released.erase(next);
    }
    released.emplace(begin, end);
}

// Drops released ranges a live block now occupies: they are memory of the module again.
void forgetReleased(std::uintptr_t begin, std::uintptr_t end)
{
    auto it = released.upper_bound(begin);
    if (it != released.begin())
        --it;
    while (it != released.end() && it->first < end) {
        const std::uintptr_t b = it->first, e = it->second;
        if (e <= begin) {
            ++it;
            continue;
        }
        it = released.erase(it);
        if (b < begin)
            released.emplace(b, begin);
        if (e > end)
            it = released.emplace(end, e).first;
    }
}

unsigned char *const registers[9] = {leftPixel,    centerPixel,   rightPixel,      topPixel,        bottomPixel,
                                     topLeftPixel, topRightPixel, bottomLeftPixel, bottomRightPixel};

} // namespace

Extent extentFrom(const unsigned char *pointer)
{
    if (pointer == nullptr)
        return {ExtentKind::Null, 0};
    const std::uintptr_t p = address(pointer);
    for (const OwnedBlock &block : ownedBlocks()) {
        if (block.base != nullptr && p >= address(block.base) && p < blockEnd(block)) {
            const std::size_t offset = p - address(block.base);
            return {ExtentKind::Known, offset < block.size ? block.size - offset : 0};
        }
    }
    for (unsigned char *reg : registers)
        if (p >= address(reg) && p < address(reg) + 3)
            return {ExtentKind::Known, 3 - (p - address(reg))};
    auto after = released.upper_bound(p);
    if (after != released.begin() && std::prev(after)->second > p)
        return {ExtentKind::Released, 0};
    return {ExtentKind::Unknown, 0};
}

void retireBlocks(const std::array<OwnedBlock, 7> &before)
{
    const auto &now = ownedBlocks();
    for (const OwnedBlock &block : before) {
        if (block.base == nullptr)
            continue;
        bool stillOwned = false;
        for (const OwnedBlock &live : now)
            stillOwned = stillOwned || live.base == block.base;
        if (!stillOwned)
            addReleased(address(block.base), blockEnd(block));
    }
    for (const OwnedBlock &live : now)
        if (live.base != nullptr)
            forgetReleased(address(live.base), blockEnd(live));
}

bool trackedCreateArrays()
{
    const auto before = ownedBlocks();
    const bool allocated = CreateArrays();
    retireBlocks(before); // after a failure nothing changed, and nothing is retired
    return allocated;
}

void trackedCleanup()
{
    const auto before = ownedBlocks();
    Cleanup();
    retireBlocks(before);
}

std::size_t releasedRangeCount() { return released.size(); }

} // namespace vantrel
