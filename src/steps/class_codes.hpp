// The one layout of the bytes the ink steps write, shared by the classifier's class codes and the
// drawing's palette indexes: 0 is paper; otherwise 1 + 2 * slot, plus 1 when pale. A class code's
// slot is its hue bin (kNeutralBin for black and grey ink); a palette index's slot is an ink of
// the palette, ink 0 neutral (palette 1 black, 2 grey). The numbers reach Python as constants of
// vantrel_clean._steps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace steps {

constexpr std::uint8_t kPaperCode = 0;
constexpr std::size_t kFirstCode = 1;    // the full-strength code of slot 0
constexpr std::size_t kCodesPerSlot = 2; // full, then pale

constexpr std::size_t kHueBins = 72; // five degrees each
constexpr std::size_t kNeutralBin = kHueBins;
constexpr std::size_t kBins = kHueBins + 1;

constexpr std::uint8_t classCode(std::size_t slot, bool pale)
{
    return std::uint8_t(kFirstCode + kCodesPerSlot * slot + (pale ? 1 : 0));
}
// Of a code other than paper.
constexpr std::size_t slotOf(std::uint8_t code) { return (std::size_t(code) - kFirstCode) / kCodesPerSlot; }
constexpr bool isPale(std::uint8_t code) { return (std::size_t(code) - kFirstCode) % kCodesPerSlot == 1; }

// Every code fits a byte: at most this many slots.
constexpr std::size_t kMostSlots = (256 - kFirstCode) / kCodesPerSlot + 1;
static_assert(kFirstCode + kCodesPerSlot * kNeutralBin + 1 < 256, "the neutral bin's codes fit a byte");

} // namespace steps
