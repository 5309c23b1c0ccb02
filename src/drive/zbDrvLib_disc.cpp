// What medium is in the drive: kind, the TDisc record, writable address,
// free blocks and capacity, sessions.
#include "drive/zbDrvLib.h"

#include "drive/byte_order.h"

#include <algorithm>
#include <cstring>

namespace velloran::drive {

namespace {

constexpr std::uint32_t kNoAddress = 0xFFFFFFFF;
// READ FORMAT CAPACITIES answer of some CD writers for a blank CD-RW: not a
// size but a marker (FFFD0001h blocks).
constexpr std::uint32_t kCdRwUnknownFormatSize = 0xFFFD0001;
// READ CAPACITY values above this are taken as garbage (blank media on some
// drives report FFFFFFFFh or a negative lead-in address).
constexpr std::uint32_t kImplausibleLastLba = 0x7F000000;
// ASC of a command the drive does not implement.
constexpr std::uint8_t kAscInvalidOpcode = 0x20;
// DVD-RW in restricted overwrite records whole ECC blocks of 16 sectors.
constexpr std::uint32_t kRestrictedUnit = 16;

bool IsCdFamily(std::uint8_t kind) { return kind < mmc::kKindDvdRom; }

}  // namespace

std::uint8_t TSCSIDevice::GetDiscKind() {
  std::uint8_t kind = mmc::kKindUnknown;
  alignas(8) std::array<std::uint8_t, 114> config{};
  if (GetConfiguration(2, 0, config.size(), config.data()))
    kind = mmc::DiscKindFromProfile(mmc::CurrentProfile(config));
  if (kind == mmc::kKindUnknown) {
    // Drives without GET CONFIGURATION: the ATIP tells CD-R from CD-RW.
    alignas(8) std::array<std::uint8_t, 28> atip{};
    if (ReadTOC(4, atip.data(), 0, true, 0, 26)) {
      if (atip[6] & 0x80)
        kind = (atip[6] & 0x40) ? mmc::kKindCdRw : mmc::kKindCdR;
      else
        kind = mmc::kKindCdRom;
    }
  }
  if (kind == mmc::kKindUnknown && ReadDiscInformation())
    kind = DiscInfo.erasable ? mmc::kKindCdRw : mmc::kKindCdR;
  if (kind == mmc::kKindUnknown && TestUnitReady(5000)) kind = mmc::kKindCdRom;
  return kind;
}

bool TSCSIDevice::GetDiscInfo(TDisc& disc) {
  Disc = TDisc{};
  if (!TestUnitReady(5000)) {
    WaitUntilReady(3000, 5000);
    if (!TestUnitReady(5000)) {
      Disc.ready = 0;
      return false;
    }
  }
  Disc.ready = 1;
  Disc.blockSize = 2048;

  if (ReadTOC(0, TocBuffer.data(), 0, false, 0, TocBuffer.size())) {
    ReadTOC(0, TocBuffer.data(), 0, false, TocBuffer[2], TocBuffer.size());
    if (ReadTOC(1, SessionBuffer.data(), 0, false, 0, SessionBuffer.size())) {
      Disc.firstSession = SessionBuffer[2];
      Disc.lastSession = SessionBuffer[3];
    }
    Disc.mediumName = "CD-ROM";
  }
  // The ATIP is asked for whether or not a TOC exists: a blank CD-R/RW has
  // no TOC yet, and its capacity is exactly what the ATIP tells.
  AtipBuffer.fill(0);
  if (ReadTOC(4, AtipBuffer.data(), 0, true, 0, 26)) Disc.capacity = mmc::AtipLeadOutBlocks(AtipBuffer);

  alignas(8) std::array<std::uint8_t, 114> config{};
  if (GetConfiguration(2, 0, config.size(), config.data())) {
    Disc.profile = mmc::CurrentProfile(config);
    const mmc::ProfileName p = mmc::MediumNameForProfile(Disc.profile);
    Disc.mediumName = p.name;
    Disc.erasable = p.erasable ? 1 : 0;
  }

  if (!ReadTrackInformation(IsCdFamily(GetDiscKind()) ? 255 : 1)) {
    // TrackInfo reads all zero now. The capacity taken from the ATIP above
    // is kept: a finalized CD has no invisible track to ask about.
    Disc.size = TrackInfo.nextWritableAddress;
    Disc.capacity = std::max(Disc.capacity, TrackInfo.nextWritableAddress + TrackInfo.freeBlocks);
    Disc.blockSize = 2048;
    // Read-only drives need not know READ TRACK INFORMATION at all (QEMU's
    // answer INVALID COMMAND OPERATION CODE): the medium's size is then what
    // READ CAPACITY says, its last block address plus one.
    std::uint32_t lastLba = 0, blockSize = 0;
    if (LastSense[12] == kAscInvalidOpcode && ReadCapacity(lastLba, blockSize) && lastLba < kImplausibleLastLba)
      Disc.size = lastLba + 1;
    ReadDiscInformation();
  } else {
    ReadFormatCapacities(Disc.size, Disc.blockSize);
    Disc.capacity = std::max(Disc.capacity, Disc.size);
  }

  if (ReadDiscInformation()) {
    Disc.discStatus = DiscInfo.discStatus;
    Disc.lastSessionState = DiscInfo.lastSessionState;
    Disc.erasable = DiscInfo.erasable ? 1 : 0;
  } else {
    ReadCapacity(Disc.size, Disc.blockSize);
    if (ReadTrackInformation(0)) Disc.mediumName = "CD-ROM";
  }
  Disc.capacity = std::max(Disc.capacity, Disc.size);
  disc = Disc;
  return true;
}

bool TSCSIDevice::IsErasable() {
  if (ReadDiscInformation()) return DiscInfo.erasable;
  LastDiscKind = GetDiscKind();
  switch (LastDiscKind) {
    case mmc::kKindDvdRam:
    case mmc::kKindDvdRwRestricted:
    case mmc::kKindDvdRwSequential:
    case mmc::kKindDvdPlusRw:
      return true;
    default:
      return false;
  }
}

int TSCSIDevice::GetDiscStatus() {
  if (!ReadDiscInformation()) return -1;
  return DiscInfo.discStatus;
}

int TSCSIDevice::GetSessionCount() {
  if (!ReadDiscInformation() || DiscInfo.discStatus == 0) return 0;
  int count = DiscInfo.sessions;
  if (DiscInfo.lastSessionState == 0 && count != 0) --count;  // the empty session being prepared
  return count;
}

std::uint32_t TSCSIDevice::VolumeSpaceSize() {
  alignas(8) std::array<std::uint8_t, 2048> block{};
  for (std::uint32_t lba = 16; lba <= 32; ++lba) {
    if (!Read10(lba, 1, block.size(), block.data())) continue;
    if ((block[0] == 1 || block[0] == 2) && std::memcmp(&block[1], "CD001", 5) == 0)
      return le::load32(&block[80]);
  }
  return 0;
}

void TSCSIDevice::SendQueryWriteParameters(std::uint8_t kind) {
  // Drives report the writable address and free space for the write type
  // the page holds; asked with "close disc" set, whatever the job will say.
  const bool finalize = FinalizeDisc;
  FinalizeDisc = true;
  SetWriteParameters(false, UnderrunProtection, kind, true);
  FinalizeDisc = finalize;
}

std::uint32_t TSCSIDevice::NextWritableAddress() {
  const std::uint8_t kind = GetDiscKind();
  SendQueryWriteParameters(kind);
  const bool haveDiscInfo = ReadDiscInformation();

  if (IsCdFamily(kind)) {
    // The track to append to is the disc's last track (the invisible one of
    // an appendable disc), whatever number of tracks its sessions hold.
    std::uint32_t n = haveDiscInfo && DiscInfo.lastTrackLastSession != 0
                          ? DiscInfo.lastTrackLastSession
                          : static_cast<std::uint32_t>(std::min(GetSessionCount() + 1, 255));
    if (ReadTrackInformation(n)) {
      const std::uint32_t address =
          TrackInfo.nextWritableAddress == kNoAddress ? TrackInfo.trackSize : TrackInfo.nextWritableAddress;
      // A closed disc has no writable track: what it holds is then what
      // READ CAPACITY says.
      if (TrackInfo.nwaValid || address != 0) return address;
    }
    std::uint32_t last = 0, blockSize = 0;
    if (ReadCapacity(last, blockSize)) {
      if (last > kImplausibleLastLba) {
        std::uint32_t size = 0;
        last = ReadFormatCapacities(size, blockSize) ? size : 0;
      }
      return last;
    }
    n = std::min(GetSessionCount() + 1, 255);
    return ReadTrackInformation(n) ? TrackInfo.freeBlocks : 0;
  }

  switch (kind) {
    case mmc::kKindDvdRwRestricted:
      // A restricted-overwrite disc holds one growing file system, like a
      // DVD+RW; the new session follows it, in whole 16-block units.
      return (VolumeSpaceSize() + kRestrictedUnit - 1) / kRestrictedUnit * kRestrictedUnit;
    case mmc::kKindDvdRam:
    case mmc::kKindDvdPlusRw:
      return VolumeSpaceSize();
    default:
      break;
  }
  if (!haveDiscInfo) return 0;
  if (!ReadTrackInformation(DiscInfo.lastTrackLastSession) || TrackInfo.trackSize == kNoAddress) return 0;
  return TrackInfo.nextWritableAddress;
}

std::uint32_t TSCSIDevice::RestrictedOverwriteCapacity() {
  // The formatted area grows with each session (format type 13h); the disc
  // holds as much as a full format would give.
  mmc::FormatCapacityList list;
  if (!ReadFormatCapacityList(list)) return 0;
  const std::uint32_t current = list.currentType == 3 ? 0 : list.current;
  return std::max({current, list.largest, list.growOffered ? current + list.grow : 0u});
}

std::uint32_t TSCSIDevice::FreeBlocks() {
  const std::uint8_t kind = GetDiscKind();
  SendQueryWriteParameters(kind);
  const bool haveDiscInfo = ReadDiscInformation();

  if (IsCdFamily(kind)) {
    SendQueryWriteParameters(kind);
    if (haveDiscInfo && DiscInfo.discStatus == 2) return 0;
    if (!ReadDiscInformation()) return 0;
    const std::uint32_t t = DiscInfo.lastTrackLastSession;
    if (ReadTrackInformation(t) || ReadTrackInformation(t))
      return std::max(TrackInfo.freeBlocks, TrackInfo.trackSize);
    return 0;
  }

  if (kind == mmc::kKindDvdRwRestricted) {
    const std::uint32_t capacity = RestrictedOverwriteCapacity();
    const std::uint32_t used = NextWritableAddress();
    return capacity > used ? capacity - used : 0;
  }
  if (!haveDiscInfo || !ReadTrackInformation(DiscInfo.lastTrackLastSession)) return 0;
  const mmc::TTrackInfo track = TrackInfo;
  auto generic = [&]() -> std::uint32_t {
    if (track.trackSize == kNoAddress) return 0;
    return track.lastRecordedAddress == 0 ? track.trackSize : track.freeBlocks;
  };
  switch (kind) {
    case mmc::kKindDvdRam:
    case mmc::kKindDvdPlusRw: {
      const std::uint32_t used = VolumeSpaceSize();
      return track.trackSize > used ? track.trackSize - used : 0;
    }
    default:
      return generic();
  }
}

std::uint32_t TSCSIDevice::DiscCapacity() {
  const std::uint8_t kind = GetDiscKind();
  SendQueryWriteParameters(kind);
  const bool haveDiscInfo = ReadDiscInformation();

  if (IsCdFamily(kind)) {
    const int s = GetSessionCount();
    std::uint32_t result = 0;
    alignas(8) std::array<std::uint8_t, 28> atip{};
    std::uint32_t size = 0, blockSize = 0;
    if (ReadTOC(4, atip.data(), 0, true, 0, 26)) {
      result = mmc::AtipLeadOutBlocks(atip);
      std::uint32_t last = 0;
      // Very short lead-outs are ATIPs of discs that are not blank CD-R/RW
      // (or mis-read): the readable size is then the better figure.
      if (result < 20000 && ReadCapacity(last, blockSize) && last > result) result = last;
    } else if (ReadFormatCapacities(size, blockSize)) {
      result = size;
      if (size == kCdRwUnknownFormatSize) {
        if (ReadTrackInformation(static_cast<std::uint32_t>(s + 1)) ||
            ReadTrackInformation(static_cast<std::uint32_t>(s)))
          result = TrackInfo.freeBlocks + TrackInfo.trackStart;
        else
          result = 0;
      }
    } else {
      if (ReadTrackInformation(static_cast<std::uint32_t>(s))) return TrackInfo.freeBlocks + TrackInfo.trackStart;
      if (ReadFormatCapacities(size, blockSize)) return size;
    }
    if (result == kNoAddress) result = NextWritableAddress();
    return result;
  }

  if (kind == mmc::kKindDvdRwRestricted) return RestrictedOverwriteCapacity();
  if (!haveDiscInfo || !ReadTrackInformation(DiscInfo.lastTrackLastSession)) return 0;
  const mmc::TTrackInfo track = TrackInfo;
  if (kind == mmc::kKindDvdRam || kind == mmc::kKindDvdPlusRw) {
    std::uint32_t size = 0, blockSize = 0;
    if (ReadFormatCapacities(size, blockSize)) return size;
  }
  return track.freeBlocks + track.nextWritableAddress;
}

}  // namespace velloran::drive
