// What each medium kind asks of a recording, as data: how it is recorded
// (in sessions, or as one file system overwritten in place), whether it has
// a test-write mode, the unit its writes must keep to, and the steps that
// close a recorded session or the whole disc.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace velloran::recording {

struct TMediumTraits {
  std::uint8_t kind = 0;
  bool writable = false;
  bool cd = false;            // CD-R, CD-RW: 27-sector cache blocks, track at once
  bool sessions = false;      // recorded in sessions: an append is a new session after the last
  bool overwritable = false;  // one file system rewritten in place; the descriptors at 16 follow the newest session
  bool testWrite = false;     // the medium has a test-write (simulation) mode
  std::uint32_t writeUnit = 1;  // every write covers whole units of this many sectors
};

// Traits of a disc kind code (mmc::DiscKindCode); kinds that cannot be
// written give writable false.
const TMediumTraits& TraitsOf(std::uint8_t kind);

// One CLOSE TRACK/SESSION of a closing sequence. Every step is sent with the
// immediate bit and followed by a wait until the drive is ready again; its
// answer and the wait's end are both checked.
struct TCloseStep {
  std::uint8_t function = 0;  // close function (CDB byte 2)
  bool track = false;         // names the track just recorded (CDB bytes 4-5), else 0
  bool closesDisc = false;    // DVD-R/-RW: write parameters with multi-session 00b must be in force
  bool whileFormatting = false;  // DVD+RW: only while a background format runs
};

// The steps that close a recorded session; finalize closes the disc too.
std::vector<TCloseStep> CloseSteps(std::uint8_t kind, bool finalize);

// The steps that close a session another recording left open (a cancelled
// or failed burn, a killed program): it stays appendable.
std::vector<TCloseStep> UnfinishedSessionSteps(std::uint8_t kind, bool trackHoldsData);

}  // namespace velloran::recording
