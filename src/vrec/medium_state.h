// The recorded state of one medium and the rules that change it: tracks,
// sessions, formatting. Pure logic, no I/O: every operation checks what a
// real drive checks, answers with the sense a real drive gives, and changes
// nothing when it refuses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vrec/media.h"
#include "vrec/sense.h"

namespace velloran::vrec {

enum class DiscStatus : std::uint8_t { Blank = 0, Incomplete = 1, Complete = 2, Other = 3 };

enum class TrackState : std::uint8_t {
  Invisible,  // the open track at the end of the open session (may hold data)
  Reserved,   // fixed size, filled sequentially
  Complete,
};

struct Track {
  int session = 1;
  std::uint32_t start = 0;
  std::uint32_t written = 0;  // blocks recorded from start; the NWA is start + written
  std::uint32_t size = 0;     // fixed size of reserved and complete tracks
  TrackState state = TrackState::Invisible;
  bool incremental = false;   // packet/incremental recording
  std::uint8_t trackMode = 4;
  std::uint8_t dataMode = 1;
  bool damaged = false;

  std::uint32_t Nwa() const { return start + written; }
};

struct Session {
  bool complete = false;
  std::uint32_t end = 0;  // lead-out start (CD) / end of its last track (DVD)
};

// The parts of mode page 05h that recording depends on.
struct WriteParams {
  std::uint8_t writeType = 1;     // 0 packet/incremental, 1 TAO, 2 SAO/DAO, 3 raw
  std::uint8_t multiSession = 0;  // 0/1 finalize, 3 keep appendable
  std::uint8_t trackMode = 4;
  std::uint8_t blockType = 8;
  bool testWrite = false;
  bool bufferUnderrunFree = false;
};

// Data block sizes of page 05h data block types; 0 for reserved types.
std::uint32_t BlockTypeSize(std::uint8_t blockType);

class MediumState {
 public:
  MediumKind kind = MediumKind::None;
  std::uint32_t capacity = 0;  // end of the recordable area (CD: ATIP lead-out)
  std::uint32_t leadOut = 0;   // last possible lead-out reported to hosts
  std::int32_t leadIn = 0;     // CD: ATIP lead-in start
  DiscStatus status = DiscStatus::Blank;
  std::vector<Session> sessions;
  std::vector<Track> tracks;
  std::uint32_t formatted = 0;   // overwritable media: formatted blocks
  bool intermediate = false;     // DVD-RW RO: quick formatted, grows sequentially
  std::uint8_t bgFormat = 0;     // DVD+RW: 0 unformatted, 1 suspended, 2 running, 3 done
  bool daoOnly = false;          // DVD-RW after a minimal blank
  std::uint32_t borderGap = 28688;  // DVD-R/-RW blocks between borders
  std::string timeStamp;         // DVD-R time stamp sent before recording

  // A fresh medium of a kind; capacity overrides the nominal size.
  static MediumState Fresh(MediumKind kind, std::optional<std::uint32_t> capacity = std::nullopt,
                           bool formatted = false);
  // A pressed disc holding blocks of data in one track.
  static MediumState Pressed(MediumKind kind, std::uint32_t blocks);

  const MediumInfo& Info() const { return InfoOf(kind); }
  Family family() const { return Info().family; }
  bool Present() const { return kind != MediumKind::None; }
  bool Sequential() const {
    auto f = family();
    return f == Family::Cd || f == Family::DvdMinus || f == Family::DvdPlus;
  }
  bool Overwritable() const {
    auto f = family();
    return f == Family::Restricted || f == Family::PlusRw || f == Family::Ram;
  }

  // Reported layout.
  int SessionCount() const { return static_cast<int>(sessions.size()); }
  int CompleteSessions() const;
  int FirstTrackInSession(int session) const;  // 1-based; 0 when none
  int LastTrackInSession(int session) const;
  std::uint8_t LastSessionState() const;       // 0 empty, 1 incomplete, 3 complete
  DiscStatus ReportedStatus() const;
  // Last readable address for READ CAPACITY (0 when nothing is recorded).
  std::uint32_t LastReadable() const;
  // The open track of the open session, or -1.
  int InvisibleIndex() const;
  // Free blocks of a writable track.
  std::uint32_t FreeBlocks(const Track& t) const;
  std::uint32_t TrackSize(const Track& t) const;  // the logical size reported

  // Recording. Each returns an OK sense on success and leaves the state
  // untouched otherwise.
  Sense CheckWrite(std::int64_t lba, std::uint32_t count, const WriteParams& wp, int* trackIndex) const;
  void CommitWrite(int trackIndex, std::int64_t lba, std::uint32_t count, const WriteParams& wp);
  // Reading: whether every block in the range holds data.
  Sense CheckRead(std::int64_t lba, std::uint32_t count) const;
  Sense CloseTrack(unsigned trackNumber);
  Sense CloseSession(const WriteParams& wp);
  Sense Finalize();
  Sense Reserve(std::uint32_t size);
  Sense Blank(std::uint8_t type);
  // FORMAT UNIT descriptor. Sets *erase when the recorded data is gone.
  Sense Format(std::uint8_t type, std::uint32_t blocks, bool* erase);

  // Text form kept in the state folder.
  std::string Serialize() const;
  static std::optional<MediumState> Parse(const std::string& text, std::string* why);

 private:
  void StartSession(std::uint32_t start);
  void OpenInvisible(int session, std::uint32_t start);
  void MakeComplete();
  void SyncOverwritable();
  Sense CloseOpenTracks();
  bool SessionHasData(int session) const;
};

}  // namespace velloran::vrec
