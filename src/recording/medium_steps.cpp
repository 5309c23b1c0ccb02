#include "recording/medium_steps.h"

#include "drive/mmc_reply.h"

#include <array>

namespace velloran::recording {

using namespace drive::mmc;

namespace {

// DVD-RW in restricted overwrite records whole ECC blocks of 16 sectors.
constexpr std::uint32_t kRestrictedUnit = 16;

constexpr std::array<TMediumTraits, 16> MakeTraits() {
  std::array<TMediumTraits, 16> t{};
  for (std::uint8_t k = 0; k < 16; ++k) t[k].kind = k;
  //                       writable cd     sessions overwr. test   unit
  t[kKindCdR] = {kKindCdR, true, true, true, false, true, 1};
  t[kKindCdRw] = {kKindCdRw, true, true, true, false, true, 1};
  t[kKindDvdR] = {kKindDvdR, true, false, true, false, true, 1};
  t[kKindDvdRwSequential] = {kKindDvdRwSequential, true, false, true, false, true, 1};
  t[kKindDvdPlusR] = {kKindDvdPlusR, true, false, true, false, false, 1};
  t[kKindDvdPlusRDl] = {kKindDvdPlusRDl, true, false, true, false, false, 1};
  t[kKindDvdRwRestricted] = {kKindDvdRwRestricted, true, false, false, true, false, kRestrictedUnit};
  t[kKindDvdPlusRw] = {kKindDvdPlusRw, true, false, false, true, false, 1};
  t[kKindDvdRam] = {kKindDvdRam, true, false, false, true, false, 1};
  return t;
}

constexpr std::array<TMediumTraits, 16> kTraits = MakeTraits();

}  // namespace

const TMediumTraits& TraitsOf(std::uint8_t kind) { return kTraits[kind & 0x0F]; }

std::vector<TCloseStep> CloseSteps(std::uint8_t kind, bool finalize) {
  switch (kind) {
    case kKindCdR:
    case kKindCdRw:
      // Track at once: SYNCHRONIZE CACHE has closed the track; the write
      // parameters page (multi-session 00b or 11b) says whether the session
      // close finalizes.
      return {{2, false, false, false}};
    case kKindDvdR:
    case kKindDvdRwSequential:
      return {{1, true, false, false}, {2, false, finalize, false}};
    case kKindDvdPlusR:
      // A DVD+R ignores the write parameters page: closing the session
      // leaves it appendable, close function 5 closes the disc as well.
      return {{1, true, false, false}, {static_cast<std::uint8_t>(finalize ? 5 : 2), false, false, false}};
    case kKindDvdPlusRDl:
      return {{1, true, false, false}, {static_cast<std::uint8_t>(finalize ? 6 : 2), false, false, false}};
    case kKindDvdRwRestricted:
      // Ends the intermediate state a quick format or a grow left.
      return {{2, false, false, false}};
    case kKindDvdPlusRw:
      // Stops a background format compatibly (the disc then reads in any
      // drive); with the format done there is nothing to close.
      return {{2, false, false, true}};
    default:
      return {};
  }
}

std::vector<TCloseStep> UnfinishedSessionSteps(std::uint8_t kind, bool trackHoldsData) {
  if (!TraitsOf(kind).sessions) return {};
  std::vector<TCloseStep> steps;
  if (trackHoldsData) steps.push_back({1, true, false, false});
  steps.push_back({2, false, false, false});
  return steps;
}

}  // namespace velloran::recording
