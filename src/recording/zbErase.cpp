#include "recording/zbErase.h"

#include "drive/mmc_cdb.h"
#include "drive/mmc_reply.h"
#include "drive/zbASPI.h"
#include "drive/zbConst.h"
#include "platform/synchronizer.h"
#include "recording/speed_text.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

namespace velloran::recording {

using namespace drive::mmc;

namespace {

constexpr std::uint32_t kZeroBlockSectors = 32;
constexpr std::uint32_t kZeroBlockBytes = kZeroBlockSectors * 2048;
constexpr std::uint8_t kAscNotReady = 0x04;
constexpr std::uint8_t kAscLbaOutOfRange = 0x21;
constexpr std::uint8_t kKeyMediumError = 0x03;
constexpr std::uint8_t kKeyHardwareError = 0x04;
constexpr std::uint32_t kBlankTimeoutMs = 4800000;
// Pause between two polls of a blanking or formatting drive.
constexpr std::uint32_t kPollMs = 2000;

// FORMAT UNIT parameter lists (header with FOV and IMMED, one descriptor).
// DVD+RW: format type 26h over the whole disc (2,295,104 blocks).
constexpr std::uint8_t kPlusRwFormat[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40, 0x98, 0x00, 0x00, 0x00};
// DVD-RAM: full format type 00h with 2048-byte blocks (2,236,704 blocks).
constexpr std::uint8_t kRamFormat[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x22, 0x21, 0x20, 0x00, 0x00, 0x08, 0x00};

}  // namespace

TEraseThread::TEraseThread(image::TZCDBurner& burner, std::uint8_t discType, std::uint8_t blankType)
    : FDevice(burner), FDiscType(discType), FBlankType(blankType), FDuration(DurationFor(discType, blankType)) {}

std::uint16_t TEraseThread::DurationFor(std::uint8_t discType, std::uint8_t blankType) {
  if (discType <= kKindCdRw) return blankType == 1 ? 150 : 4500;
  switch (blankType) {
    case 0: return 4440;
    case 1: return discType == 7 ? 180 : 600;
    default: return 8880;
  }
}

void TEraseThread::Start() {
  FRunning = true;
  std::thread([self = shared_from_this()] { self->Execute(); }).detach();
}

void TEraseThread::WaitFor() {
  std::unique_lock lock(FMutex);
  FDoneChanged.wait(lock, [this] { return FDone; });
}

void TEraseThread::Track(const drive::TSCSIDevice::TWaitProgress& w) {
  if (w.fromDrive) {
    // The drive's own figure, once it gives one.
    FDriveProgress = true;
    FProgress = std::min(99, static_cast<int>(w.done * 100 / 65536));
    return;
  }
  if (FDriveProgress) return;
  // An estimate from the time the table says the medium takes: FDuration
  // counts seconds of waiting.
  const double seconds = (FWaitedBeforeMs + w.waitedMs) / 1000.0;
  FProgress = static_cast<int>(std::min(99.0, std::round(seconds / FDuration * 100.0)));
}

bool TEraseThread::WaitForDrive(std::uint32_t budgetMs) {
  auto& b = FDevice;
  std::uint32_t waited = 0;
  const auto result = b.WaitForDrive(budgetMs, kPollMs, nullptr, [&](const drive::TSCSIDevice::TWaitProgress& w) {
    waited = w.waitedMs;
    Track(w);
  });
  FWaitedBeforeMs += waited;
  switch (result) {
    case drive::TSCSIDevice::TWaitResult::Ready: return true;
    case drive::TSCSIDevice::TWaitResult::Failed: NoteSense(); break;
    default: break;
  }
  FDriveError = true;
  return false;
}

void TEraseThread::Pause(std::uint32_t ms) { FDevice.SleepMs(ms); }

void TEraseThread::NoteSense() {
  const std::uint8_t key = FDevice.LastSense[2] & 0x0F;
  if (key == kKeyMediumError || key == kKeyHardwareError) FDriveError = true;
}

bool TEraseThread::WriteZeros(std::uint32_t blocks, bool& allWritten) {
  std::vector<std::uint8_t> zeros(kZeroBlockBytes, 0);
  allWritten = false;
  for (std::uint32_t i = 0; i < blocks; ++i) {
    if (!FDevice.Write10(i * kZeroBlockSectors, kZeroBlockSectors, SRB_DIR_OUT | SRB_EVENT_NOTIFY, kZeroBlockBytes,
                         zeros.data())) {
      // Running off the end of a smaller disc ends the zeroing normally.
      const bool end = (FDevice.LastSense[2] & 0x0F) == 0x05 && FDevice.LastSense[12] == kAscLbaOutOfRange;
      NoteSense();
      return end;
    }
  }
  allWritten = true;
  return true;
}

bool TEraseThread::MediumErased() {
  auto& b = FDevice;
  // Loading the tray again may leave a unit attention for the next command.
  if (!b.ReadDiscInformation() && !b.ReadDiscInformation()) return false;
  switch (FDiscType) {
    case kKindCdRw:
    case kKindDvdRwRestricted:
    case kKindDvdRwSequential:
      return b.DiscInfo.discStatus == 0;
    case kKindDvdPlusRw:
      // Formatted (or formatting in the background), and no file system
      // left at the start of the disc.
      return b.DiscInfo.bgFormatStatus != 0 && b.VolumeSpaceSize() == 0;
    case kKindDvdRam:
      return b.VolumeSpaceSize() == 0;
    default:
      return b.DiscInfo.discStatus == 0;
  }
}

void TEraseThread::Execute() {
  auto& b = FDevice;
  // The longest a blank or format is waited for: twice the estimate, and
  // never less than ten minutes (slow drives, slow media).
  const std::uint32_t budgetMs = std::max<std::uint32_t>(10 * 60 * 1000, FDuration * 2000u);

  if (FDiscType == kKindDvdPlusRw) {
    if (WaitForDrive(Limits.PlusRwFormatMs)) {
      bool allWritten = false;
      if (!WriteZeros(FBlankType == 1 ? 65 : 71001, allWritten)) FDriveError = true;
      if (allWritten) {
        Pause(300);
        b.SynchronizeCache(30000, false);
        b.CloseTrackSessionRaw(false, 3, 0, 0, 0);
      }
    }
  } else if (FDiscType == kKindDvdRam && FBlankType == 1) {
    bool allWritten = false;
    if (!WriteZeros(65, allWritten)) FDriveError = true;
    b.SynchronizeCache(30000, false);
  }

  // BLANK and FORMAT UNIT were started with the immediate bit: the drive
  // works on, busy, until it is ready again.
  if (!FDriveError) {
    WaitForDrive(budgetMs);
    if (b.SlowReady() && !FDriveError) {
      // Drives with this quirk report ready a moment before they are.
      Pause(5000);
      WaitForDrive(budgetMs);
    }
  }

  if (drive::TransportName() == drive::kPassThroughTransportName) drive::ReloadTransport();
  FProgress = 100;
  FDevice.NeutralDriveState();
  FWithError = FDriveError || !MediumErased();

  FRunning = false;
  auto deliver = [this] {
    if (FDevice.OnEraseDone) FDevice.OnEraseDone(&FDevice, FWithError);
  };
  if (auto* sync = FDevice.Synchronizer())
    sync->Synchronize(deliver);
  else
    deliver();
  {
    std::lock_guard lock(FMutex);
    FDone = true;
  }
  FDoneChanged.notify_all();
}

}  // namespace velloran::recording

namespace velloran::image {

using namespace drive::mmc;

bool TZCDBurner::Erasing() const { return FErase && FErase->Running(); }

int TZCDBurner::EraseProgress() const { return Erasing() ? FErase->Progress() : 0; }

bool TZCDBurner::EraseProgressFromDrive() const { return Erasing() && FErase->ProgressFromDrive(); }

void TZCDBurner::WaitForErase() {
  if (FErase) FErase->WaitFor();
}

bool TZCDBurner::Erase(std::uint8_t BlankType) {
  // One job at a time: a burn or another erase owns the drive.
  if (Erasing() || Writing()) return false;
  TestUnitReady(5000);
  StartStopUnit(false);
  const std::uint8_t kind = GetDiscKind();
  LastDiscKind = kind;
  // The wait ends at once when the drive has no medium.
  auto ready = [this] { return WaitForDrive(30000, 5000) == TWaitResult::Ready; };
  if (!ready()) return false;

  if (kind != kKindDvdRam) {
    SetCDSpeed(ReadSpeed, WriteSpeed());
    const bool finalize = FinalizeDisc;
    FinalizeDisc = false;
    SetWriteParameters(false, false, kind, true);
    FinalizeDisc = finalize;
  }
  const std::uint16_t speed = CurrentWriteSpeed();
  if (!ready()) return false;

  char line[256];
  std::snprintf(line, sizeof line, drive::msg::STARTING_ERASE_PROCESS, DiscKindNames()[kind & 15].c_str(),
                recording::EraseSpeedText(kind, speed).c_str());
  Debug(std::string(">>> ") + line, 1);

  // The disc stays in the drive until the erase thread ends (its
  // NeutralDriveState allows removal again).
  PreventAllowRemoval(false);
  bool started = false;
  if (kind == kKindDvdPlusRw) {
    started = FormatUnit(0x11, recording::kPlusRwFormat, sizeof recording::kPlusRwFormat);
    if (!started) {
      RezeroUnit();
      SleepMs(1000);
      started = FormatUnit(0x11, recording::kPlusRwFormat, sizeof recording::kPlusRwFormat);
    }
  } else if (kind == kKindDvdRam && BlankType == 1) {
    // A quick erase of DVD-RAM only overwrites the start of the disc (the
    // volume descriptors); the erase thread goes on further.
    std::vector<std::uint8_t> zeros(32 * 2048, 0);
    for (std::uint32_t i = 0; i < 11; ++i)
      Write10(i * 32, 32, SRB_DIR_OUT | SRB_EVENT_NOTIFY, static_cast<std::uint32_t>(zeros.size()), zeros.data());
    SynchronizeCache(30000, false);
    started = true;
  } else if (kind == kKindDvdRam) {
    started = FormatUnit(0x11, recording::kRamFormat, sizeof recording::kRamFormat);
  } else {
    std::uint8_t cdb[12] = {0xA1, static_cast<std::uint8_t>((BlankType & 0x07) | 0x10)};
    SRB_ExecSCSICmd srb{};
    started = SendCommand(cdb, sizeof cdb, kFlagsNone, nullptr, 0, recording::kBlankTimeoutMs, &srb) ||
              (srb.SRB_Cmd == SC_EXEC_SCSI_CMD && srb.SRB_Status == SS_PENDING);
  }

  if (!started) {
    PreventAllowRemoval(true);
    if (OnEraseDone) OnEraseDone(this, true);
    return false;
  }
  FErase = std::make_shared<recording::TEraseThread>(*this, kind, BlankType);
  FErase->Start();
  return true;
}

}  // namespace velloran::image
