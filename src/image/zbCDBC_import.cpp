// The burner component's previous-session import: finds where a session
// starts on the disc in the drive and hands the reading to the session
// importer (session_import.h), which reads sectors through READ (10).
#include "image/zbCDBC.h"

#include "drive/byte_order.h"
#include "drive/zbConst.h"
#include "image/session_import.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace velloran::image {

namespace {

bool Overwritable(std::uint8_t kind) {
  using namespace drive::mmc;
  return kind == kKindDvdPlusRw || kind == kKindDvdRam || kind == kKindDvdRwRestricted;
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
              if (!b.Read10(lba, 1, kSectorSize, buf.data())) return false;
              std::memcpy(sector, buf.data(), kSectorSize);
              return true;
            },
            [&b](const std::string& text, std::uint8_t mType) { b.DebugMessage(text, mType); }) {}
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

bool TZCDBurner::ImportSession(std::uint8_t SessionNo, TDEntry* Root) {
  const int count = GetSessionCount();
  if (count == 0) return false;
  int session = SessionNo;
  if (session == 255 || session > count) session = count;
  if (session == 0) return false;
  char line[64];
  std::snprintf(line, sizeof line, import_msg::IMPORTING_SESSION, session);
  Debug(std::string(">>> ") + line, 1);

  // One track per session is what this component writes, so track n is
  // usually session n; a disc written by other software may hold several
  // tracks in a session, so the track's own session number decides.
  std::uint32_t start = 0;
  bool found = false;
  if (Overwritable(GetDiscKind())) {
    // One session, one track from address 0: the descriptors at 16
    // describe the newest session written to the disc.
    found = true;
  } else if (ReadTrackInformation(static_cast<std::uint32_t>(session)) && TrackInfo.sessionNumber == session) {
    start = TrackInfo.trackStart;
    found = true;
  } else if (ReadDiscInformation()) {
    const std::uint32_t last = std::min<std::uint32_t>(DiscInfo.lastTrackLastSession, 255);
    for (std::uint32_t t = 1; t <= last && !found; ++t) {
      if (ReadTrackInformation(t) && TrackInfo.sessionNumber == session) {
        start = TrackInfo.trackStart;
        found = true;
      }
    }
  }
  if (!found && session == count) {
    // Read-only drives need not know READ TRACK INFORMATION (QEMU's answer
    // INVALID COMMAND OPERATION CODE); the session TOC gives where the last
    // session's first track starts.
    alignas(8) std::array<std::uint8_t, 12> toc{};
    if (ReadTOC(1, toc.data(), 0, false, 0, toc.size()) && toc[3] == session) {
      start = be::load32(&toc[8]);
      found = true;
    }
  }
  if (!found) {
    Debug(std::string(">>> ") + drive::msg::ERROR_IMPORTING_SESSION + " # " + std::to_string(session), 4);
    return false;
  }

  return DriveImporter(*this, FCompilation)->ImportFrom(start, session, Root ? Root : FCompilation.Root());
}

}  // namespace velloran::image
