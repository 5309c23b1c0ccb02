// The burner component's previous-session import: finds where a session
// starts on the disc in the drive and hands the reading to the session
// importer (session_import.h), which reads sectors through READ (10).
#include "image/zbCDBC.h"

#include "drive/byte_order.h"
#include "drive/mmc_reply.h"
#include "drive/zbConst.h"
#include "image/session_import.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

namespace velloran::image {

namespace {

bool Overwritable(std::uint8_t kind) {
  using namespace drive::mmc;
  return kind == kKindDvdPlusRw || kind == kKindDvdRam || kind == kKindDvdRwRestricted;
}

// How long a drive that is becoming ready, or ending a close or a format,
// is waited for before a sector it refused counts as unreadable.
constexpr std::uint32_t kReadyWaitMs = 60000;

// One sector through READ (10). A drive that answers NOT READY while it
// becomes ready or ends a long operation is waited for and asked again:
// taken as an unreadable sector, its answer would drop files from the
// import, or pass over a whole session for an older one.
bool ReadSector(TZCDBurner& b, std::uint32_t lba, std::uint8_t* sector) {
  for (int attempt = 0;; ++attempt) {
    if (b.Read10(lba, 1, kSectorSize, sector)) return true;
    const drive::mmc::SenseInfo s = drive::mmc::DecodeSense(b.LastSense);
    const bool becomingReady = s.valid && !s.deferred && s.key == 0x02 && s.asc == 0x04;
    if (!becomingReady || attempt >= 3) return false;
    if (b.WaitForDrive(kReadyWaitMs, 500) != drive::TSCSIDevice::TWaitResult::Ready) return false;
  }
}

}  // namespace

namespace {

class DriveImporter {
 public:
  DriveImporter(TZCDBurner& b, Compilation& tree)
      : importer_(
            tree,
            [&b](std::uint32_t lba, std::uint8_t* sector) {
              alignas(8) std::array<std::uint8_t, kSectorSize> buf{};
              if (!ReadSector(b, lba, buf.data())) return false;
              std::memcpy(sector, buf.data(), kSectorSize);
              return true;
            },
            [&b](const std::string& text, std::uint8_t mType) { b.DebugMessage(text, mType); }) {
    importer_.RockRidge = b.RockRidge;
  }
  TSessionImporter* operator->() { return &importer_; }

 private:
  TSessionImporter importer_;
};

}  // namespace

bool TZCDBurner::ImportJolietDir(std::uint32_t Lba, std::uint32_t Size, TDEntry* Dir) {
  return DriveImporter(*this, FCompilation)->ImportJolietDir(Lba, Size, Dir);
}

bool TZCDBurner::ImportIsoDir(std::uint32_t Lba, std::uint32_t Size, TDEntry* Dir) {
  return DriveImporter(*this, FCompilation)->ImportIsoDir(Lba, Size, Dir);
}

namespace {

// A session as the disc's track list gives it.
struct SessionSpan {
  int number = 0;
  std::uint32_t start = 0;  // first track
  std::uint32_t end = 0;    // after its last track
  bool closed = false;
};

}  // namespace

std::uint32_t TZCDBurner::WholeVolumeEnd(std::uint32_t start, std::uint32_t end) {
  // A volume some recording left unfinished (cancelled, failed, killed)
  // has its descriptors and directories, but not its end: its volume space
  // runs past what the session holds, or its last sector cannot be read.
  alignas(8) std::array<std::uint8_t, kSectorSize> d{};
  if (start > 0xFFFFFFFFu - 37) return 0;
  for (std::uint32_t lba = start + 16; lba <= start + 36; ++lba) {
    if (!ReadSector(*this, lba, d.data())) return 0;
    if (std::memcmp(&d[1], "CD001", 5) != 0) continue;
    if (d[0] == 255) return 0;
    if (d[0] != 1) continue;
    const std::uint32_t volumeEnd = le::load32(&d[80]);
    if (volumeEnd <= lba || volumeEnd > end) return 0;
    if (!ReadSector(*this, volumeEnd - 1, d.data())) return 0;
    return volumeEnd;
  }
  return 0;
}

bool TZCDBurner::DiscHoldsFiles() {
  drive::TDisc disc{};
  if (!GetDiscInfo(disc) || !disc.ready) return false;
  if (Overwritable(GetDiscKind())) return VolumeSpaceSize() > 0;
  // A closed disc takes no new session, so nothing of it can be hidden.
  return GetDiscStatus() == 1 && GetSessionCount() > 0;
}

int TZCDBurner::ImportedFileCount() const {
  int n = 0;
  for (const auto& f : FCompilation.Files())
    if (f->Imported && !(f->Attributes & 16)) ++n;
  return n;
}

bool TZCDBurner::ImportSession(std::uint8_t SessionNo, TDEntry* Root) {
  int session = 0;
  std::uint32_t start = 0;
  if (!FindSessionStart(SessionNo, session, start)) return false;
  char line[64];
  std::snprintf(line, sizeof line, import_msg::IMPORTING_SESSION, session);
  Debug(std::string(">>> ") + line, 1);
  const bool ok = DriveImporter(*this, FCompilation)->ImportFrom(start, session, Root ? Root : FCompilation.Root());
  if (ok) LastImportedSession = session;
  return ok;
}

bool TZCDBurner::FindSessionStart(std::uint8_t SessionNo, int& Session, std::uint32_t& Start) {
  Session = 0;
  Start = 0;
  const int count = GetSessionCount();
  if (count == 0) return false;
  int session = SessionNo;
  const bool last = session == 255 || session > count;
  if (last) session = count;
  if (session == 0) return false;
  const bool overwritable = Overwritable(GetDiscKind());

  // The sessions, from the disc's own track list: a session may hold
  // several tracks (discs of other software), and only closed sessions are
  // what readers see.
  std::vector<SessionSpan> spans;
  if (overwritable) {
    // One session, one track from address 0: the descriptors at 16
    // describe the newest session written to the disc.
    std::uint32_t lastLba = 0, blockSize = 0;
    spans.push_back({1, 0, ReadCapacity(lastLba, blockSize) ? lastLba + 1 : 0xFFFFFFFFu, true});
  } else if (ReadDiscInformation()) {
    const drive::mmc::TDiscInformation disc = DiscInfo;
    const std::uint32_t lastTrack = std::min<std::uint32_t>(disc.lastTrackLastSession, 999);
    for (std::uint32_t t = 1; t <= lastTrack; ++t) {
      if (!ReadTrackInformation(t)) continue;
      const drive::mmc::TTrackInfo& info = TrackInfo;
      if (info.sessionNumber == 0) continue;
      if (info.blank && !info.reserved) continue;  // the empty track an appendable disc ends with
      if (spans.empty() || spans.back().number != info.sessionNumber)
        spans.push_back({info.sessionNumber, info.trackStart, info.trackStart, false});
      spans.back().end = std::max(spans.back().end, info.trackStart + info.trackSize);
    }
    for (auto& span : spans)
      span.closed = span.number < disc.sessions || disc.discStatus == 2 || disc.lastSessionState == 3;
  }
  if (spans.empty() && session == count) {
    // Read-only drives need not know READ TRACK INFORMATION (QEMU's answer
    // INVALID COMMAND OPERATION CODE); the session TOC gives where the last
    // closed session's first track starts.
    alignas(8) std::array<std::uint8_t, 12> toc{};
    if (ReadTOC(1, toc.data(), 0, false, 0, toc.size()) && toc[3] != 0)
      spans.push_back({toc[3], be::load32(&toc[8]), 0xFFFFFFFFu, true});
  }

  // The session asked for, or for the last one the newest closed session
  // that holds a whole volume.
  const SessionSpan* chosen = nullptr;
  for (auto it = spans.rbegin(); it != spans.rend() && !chosen; ++it) {
    if (!last && it->number != session) continue;
    char line[128];
    if (!it->closed) {
      std::snprintf(line, sizeof line, import_msg::SESSION_NOT_CLOSED, it->number);
      Debug(std::string(">>> ") + line, last ? 1 : 4);
    } else if (!overwritable && WholeVolumeEnd(it->start, it->end) == 0) {
      std::snprintf(line, sizeof line, import_msg::INCOMPLETE_VOLUME, it->number);
      Debug(std::string(">>> ") + line, 4);
    } else {
      chosen = &*it;
    }
  }
  if (!chosen) {
    if (spans.empty() || !last)
      Debug(std::string(">>> ") + drive::msg::ERROR_IMPORTING_SESSION + " # " + std::to_string(session), 4);
    return false;
  }
  Session = chosen->number;
  Start = chosen->start;
  return true;
}

}  // namespace velloran::image
