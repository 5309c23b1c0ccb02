// Verification: a session read back from the disc and compared, file by
// file and in both name spaces, with what was recorded (or with the files
// on disk that should be there). The verifier reads sectors through a
// callback (the component passes one that sends READ (10)); it knows nothing
// about drives.
#pragma once

#include "image/disc_tree.h"
#include "image/image_stream.h"
#include "image/source_check.h"
#include "platform/sha256.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velloran::image {

namespace verify_msg {
inline constexpr const char* VERIFYING = "VERIFYING WRITTEN DATA";
inline constexpr const char* FAILED_FILES = "VERIFICATION FAILED: %d FILES DO NOT MATCH THE RECORDING";
inline constexpr const char* FAILED = "VERIFICATION FAILED: %s";
inline constexpr const char* NO_SESSION = "THE DISC HOLDS NO SESSION TO VERIFY";
inline constexpr const char* SESSION_NOT_FOUND = "SESSION %d CANNOT BE FOUND ON THE DISC";
}  // namespace verify_msg

enum class TVerifyProblem : std::uint8_t {
  Missing,         // not in one of the name spaces
  WrongKind,       // a file where a folder should be, or the other way round
  SizeDiffers,
  ExtentDiffers,   // not where the layout put it, or the two name spaces disagree
  ContentDiffers,  // the bytes read back hash differently
  Unreadable,      // a sector of the file (or of a directory) cannot be read
  SourceChanged,   // the source file changed while the disc was written
  SourceUnreadable,
  NotExpected,     // on the disc but not in the compilation
  NoFileSystem,    // no volume descriptor where the session starts
  Stopped,         // too many unreadable sectors: the rest was not read
};

struct TVerifyMismatch {
  std::string IsoPath;     // empty when the entry is not in that name space
  std::string JolietPath;
  TVerifyProblem Problem = TVerifyProblem::ContentDiffers;
  std::string Text;        // what was found, in the library's style
};

// One line for a list: "/ISO/PATH | /Joliet/path: TEXT" (a missing side
// shows "-").
std::string MismatchLine(const TVerifyMismatch& m);

// The job's error text for a verification that found these (empty when
// none): how many files, or the one problem that concerns no file.
std::string VerifyFailure(const std::vector<TVerifyMismatch>& mismatches);

// What the disc should hold.
struct TExpectedEntry {
  std::string IsoPath, JolietPath;  // as TDiscEntry::Path; JolietPath empty without Joliet
  bool Directory = false;
  std::int64_t Size = 0;
  std::uint32_t Lba = 0;  // first extent, when LbaKnown
  bool LbaKnown = false;
  bool HasDigest = false;  // Digest holds the SHA-256 of the recorded bytes
  platform::TDigest Digest{};
  std::string SourcePath;  // hashed during verification when HashSource
  bool HashSource = false;
  bool SourceChanged = false;
};

// The entries of a compilation whose names are resolved. With a layout
// (after a burn) the extents are known; digests are those the reader took
// for the plan's files, in plan order, and stamps those of the check before
// the burn (a source whose stamp differs now is marked changed). Without a
// layout (an older disc compared with the files on disk) every file with a
// source is hashed from its source. The folders Rock Ridge moved in the ISO
// 9660 tree are the layout's, or those of relocation without a layout.
std::vector<TExpectedEntry> ExpectedEntries(const Compilation& compilation, bool joliet, const TLayout* layout,
                                            const TImagePlan* plan, const std::vector<platform::TDigest>* digests,
                                            const TSourceStamps* stamps, const TRelocation* relocation = nullptr);

// Reads count sectors from lba into out (count * 2048 bytes).
using BlockReader = std::function<bool(std::uint32_t lba, std::uint32_t count, std::uint8_t* out)>;

class TVerifier {
 public:
  // Sectors per READ: 32 (64 KiB) passes every kernel's and drive's transfer limit.
  static constexpr std::uint32_t kChunkSectors = 32;

  explicit TVerifier(BlockReader read);

  // Called with bytes done and the total as the data is read.
  std::function<void(std::int64_t done, std::int64_t total)> OnProgress;
  // Polled between reads; true stops the verification.
  std::function<bool()> Cancelled;
  // Unreadable sectors before the verifier gives up (a real drive may spend
  // many seconds on each).
  int MaxUnreadable = 16;

  // Compares the session whose descriptors start at sessionStart + 16 with
  // the expected entries; every difference found, none when all match.
  std::vector<TVerifyMismatch> VerifySession(std::uint32_t sessionStart, const std::vector<TExpectedEntry>& expected,
                                             bool joliet);

  // Compares sectors [start, start + count) one by one with the short
  // digests (platform::ShortDigest) of the image's sectors; the files in the
  // runs that differ or cannot be read (found through the trees of the
  // session at start) are named.
  std::vector<TVerifyMismatch> VerifyBlocks(std::uint32_t start, std::int64_t count,
                                            const std::vector<std::uint64_t>& sectors);

  bool WasCancelled() const { return cancelled_; }

 private:
  struct Job;
  bool ReadRun(std::uint32_t lba, std::uint32_t sectors, std::uint8_t* out, std::uint32_t& badLba);
  void ReadFile(const Job& job, std::vector<TVerifyMismatch>& out);
  bool Stop();
  void Progress(std::int64_t bytes);

  BlockReader read_;
  std::vector<std::uint8_t> buffer_;
  std::int64_t done_ = 0, total_ = 0;
  int unreadable_ = 0;
  bool stopped_ = false;
  bool cancelled_ = false;
};

}  // namespace velloran::image
