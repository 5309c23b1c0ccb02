// The MMC command set of TSCSIDevice: one operation per command, each built
// by mmc_cdb and sent through SendCommand, plus the composites the write and
// erase paths use (write parameters, streaming, time stamp, waiting).
#include "drive/zbDrvLib.h"

#include "drive/byte_order.h"
#include "drive/zbConst.h"
#include "drive/zbSPTI.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace velloran::drive {

namespace {

// The pass-through layer drops its drive handle after the command while this
// guard is alive: the kernel releases a medium lock and notices an eject only
// when the last handle closes.
class CloseHandleAround {
 public:
  CloseHandleAround() { CloseHandleAfterCommand = true; }
  ~CloseHandleAround() { CloseHandleAfterCommand = false; }
  CloseHandleAround(const CloseHandleAround&) = delete;
  CloseHandleAround& operator=(const CloseHandleAround&) = delete;
};

constexpr std::uint8_t kAscNotReady = 0x04;
constexpr std::uint8_t kAscMediumNotPresent = 0x3A;

// True when a READ TOC reply is a format 0 TOC: first and last track in
// bytes 2-3, 8-byte track descriptors, the last one the lead-out (AAh).
// Session, full-TOC and ATIP replies never have that shape (their bytes 2-3
// are session numbers or reserved zeros, their lengths differ).
bool IsTrackToc(const std::uint8_t* reply, std::size_t size) {
  if (size < 4) return false;
  const std::size_t total = std::size_t{be::load16(reply)} + 2;
  const std::uint8_t first = reply[2], last = reply[3];
  if (total < 20 || (total - 4) % 8 != 0 || first < 1 || last < first || last > 99) return false;
  // A reply cut short by the allocation length is judged by what arrived.
  if (total <= size) return reply[total - 6] == 0xAA;
  return size < 8 || reply[6] == first;
}

}  // namespace

bool TSCSIDevice::Send(const mmc::Command& command, void* buffer, std::uint32_t length) {
  return SendCommand(command.cdb.data(), command.cdbLength, command.flags, buffer, length, command.timeoutMs);
}

void TSCSIDevice::SleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool TSCSIDevice::TestUnitReady(std::uint32_t timeoutMs) { return Send(mmc::TestUnitReady(timeoutMs), nullptr, 0); }

bool TSCSIDevice::RezeroUnit() { return Send(mmc::RezeroUnit(), nullptr, 0); }

bool TSCSIDevice::RequestSense(std::uint8_t* buffer, std::uint8_t length) {
  return Send(mmc::RequestSense(length), buffer, length);
}

bool TSCSIDevice::FormatUnit(std::uint8_t flags, const std::uint8_t* list, std::uint32_t length) {
  return Send(mmc::FormatUnit(flags), const_cast<std::uint8_t*>(list), length);
}

bool TSCSIDevice::StartStopUnit(bool eject) {
  CloseHandleAround close;
  return Send(mmc::StartStopUnit(eject), nullptr, 0);
}

bool TSCSIDevice::PreventAllowRemoval(bool allow) {
  if (!allow) {
    const bool ok = Send(mmc::PreventAllowRemoval(false), nullptr, 0);
    if (ok) FRemovalPrevented = true;
    return ok;
  }
  CloseHandleAround close;
  const bool ok = Send(mmc::PreventAllowRemoval(true), nullptr, 0);
  if (ok) FRemovalPrevented = false;
  return ok;
}

bool TSCSIDevice::ReadFormatCapacities(std::uint32_t& size, std::uint32_t& blockSize) {
  alignas(8) std::array<std::uint8_t, mmc::kFormatCapacitiesLength> reply{};
  if (!Send(mmc::ReadFormatCapacities(), reply.data(), reply.size())) return false;
  const mmc::FormatCapacity f = mmc::DecodeFormatCapacities(reply);
  size = f.blocks;
  blockSize = f.blockSize;
  return true;
}

bool TSCSIDevice::ReadFormatCapacityList(mmc::FormatCapacityList& list) {
  alignas(8) std::array<std::uint8_t, mmc::kFormatCapacitiesLength> reply{};
  if (!Send(mmc::ReadFormatCapacities(), reply.data(), reply.size())) return false;
  list = mmc::DecodeFormatCapacityList(reply);
  return true;
}

bool TSCSIDevice::ReadCapacity(std::uint32_t& lastLba, std::uint32_t& blockSize) {
  alignas(8) std::array<std::uint8_t, 32> reply{};
  if (!Send(mmc::ReadCapacity(), reply.data(), mmc::kReadCapacityLength)) return false;
  lastLba = be::load32(&reply[0]);
  blockSize = be::load32(&reply[4]);
  return true;
}

bool TSCSIDevice::Read10(std::uint32_t lba, std::uint16_t count, std::uint32_t length, std::uint8_t* buffer) {
  return Send(mmc::Read10(lba, count), buffer, length);
}

bool TSCSIDevice::Write10(std::uint32_t lba, std::uint16_t count, std::uint8_t flags, std::uint32_t length,
                          const std::uint8_t* buffer) {
  const mmc::Command c = mmc::Write10(lba, count, flags);
  SRB_ExecSCSICmd srb{};
  if (SendCommand(c.cdb.data(), c.cdbLength, c.flags, const_cast<std::uint8_t*>(buffer), length, c.timeoutMs,
                  &srb))
    return true;
  // A request the transport accepted but has not finished counts as written
  // (the drive reports a failure on a later command). A request that never
  // left - no transport, no device - is a failure: its status is also 0.
  return srb.SRB_Status == SS_PENDING && srb.SRB_Cmd == SC_EXEC_SCSI_CMD;
}

bool TSCSIDevice::SynchronizeCache(std::uint32_t timeoutMs, bool immed) {
  return Send(mmc::SynchronizeCache(timeoutMs, immed), nullptr, 0);
}

bool TSCSIDevice::ReadTOC(std::uint8_t format, std::uint8_t* buffer, std::uint8_t control, bool msf,
                          std::uint8_t track, std::uint32_t length) {
  if (length > 255) return false;
  const auto len = static_cast<std::uint8_t>(length);
  if (!Send(mmc::ReadToc(format, control, msf, track, len), buffer, length)) return false;
  if (format == 0 || !IsTrackToc(buffer, length)) return true;
  // ATAPI drives that follow SFF-8020 (QEMU's ide-cd among them) ignore the
  // format in byte 2 and answer a track TOC. They take formats 1 and 2 from
  // bits 6-7 of the control byte; an ATIP they cannot give at all.
  if ((format == 1 || format == 2) &&
      Send(mmc::ReadToc(format, static_cast<std::uint8_t>((control & 0x3F) | (format << 6)), msf, track, len),
           buffer, length) &&
      !IsTrackToc(buffer, length))
    return true;
  // Report it as the refusal it amounts to, so callers fall back as they
  // would for a drive that says so.
  std::memset(buffer, 0, length);
  LastSense.fill(0);
  LastSense[0] = 0x70;
  LastSense[2] = 0x05;
  LastSense[7] = 0x0A;
  LastSense[12] = 0x24;
  LastError = std::string(msg::ILLEGAL_REQUEST) + " (INVALID FIELD IN CDB)";
  return false;
}

bool TSCSIDevice::GetConfiguration(std::uint8_t rt, std::uint16_t feature, std::uint32_t length,
                                   std::uint8_t* buffer) {
  if (length > 0xFFFF) return false;
  return Send(mmc::GetConfiguration(rt, feature, static_cast<std::uint16_t>(length)), buffer, length);
}

bool TSCSIDevice::ReadDiscInformation(std::uint8_t* buffer, std::uint32_t length) {
  if (length > 0xFFFF) return false;
  return Send(mmc::ReadDiscInformation(static_cast<std::uint16_t>(length)), buffer, length);
}

bool TSCSIDevice::ReadDiscInformation() {
  alignas(8) std::array<std::uint8_t, 56> reply{};
  if (!ReadDiscInformation(reply.data(), reply.size())) return false;
  DiscInfoBuffer = reply;
  DiscInfo = mmc::DecodeDiscInformation(reply);
  return true;
}

bool TSCSIDevice::ReadTrackInformation(std::uint32_t track) {
  alignas(8) std::array<std::uint8_t, mmc::kTrackInfoLength> reply{};
  TrackInfo = {};
  if (!Send(mmc::ReadTrackInformation(track), reply.data(), reply.size())) return false;
  TrackInfo = mmc::DecodeTrackInformation(reply);
  return true;
}

bool TSCSIDevice::ReserveTrack(std::uint32_t blocks) { return Send(mmc::ReserveTrack(blocks), nullptr, 0); }

bool TSCSIDevice::SendOPCInformation() { return Send(mmc::SendOpcInformation(), nullptr, 0); }

bool TSCSIDevice::ModeSelect10(const std::uint8_t* data, std::uint32_t length) {
  if (length > 512) return false;
  alignas(8) std::array<std::uint8_t, 512> list{};
  if (length) std::memcpy(list.data(), data, length);
  return Send(mmc::ModeSelect10(static_cast<std::uint16_t>(length)), list.data(), length);
}

bool TSCSIDevice::ModeSense10(std::uint8_t page, std::uint8_t* dest, bool defaults, std::uint32_t length,
                              std::uint32_t clear) {
  if (length > 512) return false;
  std::memset(dest, 0, clear + 1);
  alignas(8) std::array<std::uint8_t, 512> reply{};
  if (!Send(mmc::ModeSense10(page, defaults, static_cast<std::uint16_t>(length)), reply.data(), length))
    return false;
  std::memcpy(dest, reply.data(), length);
  return true;
}

bool TSCSIDevice::CloseTrackSession(bool track, bool immed, bool finalize) {
  return Send(mmc::CloseTrackSession(track, immed, finalize), nullptr, 0);
}

bool TSCSIDevice::CloseTrackSessionRaw(bool immed, std::uint8_t function, std::uint8_t b3, std::uint8_t b4,
                                       std::uint8_t b5) {
  return Send(mmc::CloseTrackSessionRaw(immed, function, b3, b4, b5), nullptr, 0);
}

bool TSCSIDevice::ReadBufferCapacity() {
  alignas(8) std::array<std::uint8_t, mmc::kBufferCapacityLength> reply{};
  if (!Send(mmc::ReadBufferCapacity(), reply.data(), reply.size())) {
    DeviceFreeBufferSize = 0;
    return false;
  }
  const mmc::BufferCapacity b = mmc::DecodeBufferCapacity(reply);
  DeviceBufferSize = b.size;
  DeviceFreeBufferSize = b.free;
  return true;
}

bool TSCSIDevice::SendCueSheet(const std::uint8_t* sheet, std::uint32_t length) {
  if (length > 0xFFFF) return false;
  return Send(mmc::SendCueSheet(static_cast<std::uint16_t>(length)), const_cast<std::uint8_t*>(sheet), length);
}

bool TSCSIDevice::SetStreaming(const std::uint8_t* descriptor, std::uint32_t length) {
  if (length > 0xFFFF) return false;
  return Send(mmc::SetStreaming(static_cast<std::uint16_t>(length)), const_cast<std::uint8_t*>(descriptor), length);
}

bool TSCSIDevice::SetCDSpeed(std::uint16_t readSpeed, std::uint16_t writeSpeed) {
  return Send(mmc::SetCdSpeed(readSpeed, writeSpeed), nullptr, 0);
}

bool TSCSIDevice::SendDVDStructure(std::uint8_t format, const std::uint8_t* data, std::uint32_t length) {
  if (length > 0xFFFF) return false;
  return Send(mmc::SendDvdStructure(format, static_cast<std::uint16_t>(length)), const_cast<std::uint8_t*>(data),
              length);
}

void TSCSIDevice::SetWriteSpeed(std::uint16_t value) {
  SetCDSpeed(ReadSpeed, value);
  FWriteSpeed = value;
}

bool TSCSIDevice::SetStreamingPerformance(std::uint32_t /*startLba*/, std::uint32_t endLba, std::uint32_t readSize,
                                          std::uint32_t writeSize, std::uint32_t readTime,
                                          std::uint32_t writeTime) {
  // The descriptor always starts at address 0: the drive applies it to the
  // whole area up to endLba.
  auto d = mmc::PerformanceDescriptor(0, endLba, readSize, writeSize, readTime, writeTime);
  return SetStreaming(d.data(), d.size());
}

bool TSCSIDevice::SendTimeStamp(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  auto s = mmc::TimeStampStructure(local);
  return SendDVDStructure(0x0F, s.data(), s.size());
}

bool TSCSIDevice::SetWriteParameters(bool testWrite, bool underrun, std::uint8_t discKind, bool multiSession) {
  // DVD-RAM is written like a hard disk; it has no write parameters.
  if (discKind == mmc::kKindDvdRam) return true;
  alignas(8) std::array<std::uint8_t, 512> reply{};
  if (!ModeSense10(0x05, reply.data(), false, reply.size(), reply.size() - 1)) return false;
  std::size_t off = mmc::ModePageOffset(reply, 0x05);
  if (off == 0) off = 8;
  WriteParametersPage.fill(0);
  std::memcpy(WriteParametersPage.data(), &reply[off], std::min(WriteParametersPage.size(), reply.size() - off));

  mmc::WriteParameters p;
  p.testWrite = testWrite;
  p.underrun = underrun;
  p.discKind = discKind;
  p.multiSession = multiSession;
  p.finalizeDisc = FinalizeDisc;
  p.linkSizeValid = FLinkSizeValid;
  p.capabilities = Capabilities;
  p.capabilityByte4 = CapabilityPage[4];
  mmc::BuildWriteParametersPage(WriteParametersPage, p);

  std::size_t listLength = 0;
  auto list = mmc::ModeSelectList(WriteParametersPage, listLength);
  return ModeSelect10(list.data(), static_cast<std::uint32_t>(listLength));
}

bool TSCSIDevice::SetWriteModePage(std::uint8_t writeType) {
  alignas(8) std::array<std::uint8_t, 512> reply{};
  if (!ModeSense10(0x05, reply.data(), false, reply.size(), reply.size() - 1)) return false;
  std::size_t off = mmc::ModePageOffset(reply, 0x05);
  if (off == 0) off = 8;
  alignas(8) std::array<std::uint8_t, 512> page{};
  std::memcpy(page.data(), &reply[off], reply.size() - off);
  // Keep the page as long as the drive reported it (52 or 56 bytes).
  const std::size_t pageLength = std::min<std::size_t>(std::size_t{page[1]} + 2, reply.size() - off);
  std::span<std::uint8_t> view(page.data(), std::max<std::size_t>(pageLength, 16));
  mmc::BuildWriteModeProbePage(view, writeType);
  std::size_t listLength = 0;
  auto list = mmc::ModeSelectList(std::span<const std::uint8_t>(page.data(), pageLength), listLength);
  return ModeSelect10(list.data(), static_cast<std::uint32_t>(listLength));
}

void TSCSIDevice::ProbeWriteModes() {
  WriteModes = 0;
  if (SetWriteModePage(0)) WriteModes |= 1;
  if (SetWriteModePage(1)) WriteModes |= 2;
  if (SetWriteModePage(2)) WriteModes |= 4;
}

void TSCSIDevice::NeutralDriveState() {
  const bool finalize = FinalizeDisc;
  FinalizeDisc = false;
  SetWriteParameters(false, false, mmc::kKindCdRom, true);
  FinalizeDisc = finalize;
  SetCDSpeed(MaxReadSpeed(), 2);
  RezeroUnit();
  PreventAllowRemoval(true);
  StartStopUnit(false);
  RezeroUnit();
  TestUnitReady(5000);
}

TSCSIDevice::TWaitResult TSCSIDevice::WaitForDrive(std::uint32_t budgetMs, std::uint32_t stepMs,
                                                   const std::atomic<bool>* cancel,
                                                   const std::function<void(const TWaitProgress&)>& progress) {
  constexpr std::uint32_t kSliceMs = 250;
  // A medium change reports itself once per command that meets it; more in a
  // row than this means the drive keeps changing its mind.
  constexpr int kMaxUnitAttentions = 8;
  auto cancelled = [cancel] { return cancel && cancel->load(); };
  std::uint32_t waited = 0;
  int attentions = 0;
  stepMs = std::max<std::uint32_t>(stepMs, 1);
  // Short operations are over within a fraction of a second: the pauses
  // start short and double up to the step.
  std::uint32_t pause = std::min<std::uint32_t>(stepMs, 50);
  for (;;) {
    if (cancelled()) return TWaitResult::Cancelled;
    if (TestUnitReady(5000)) return TWaitResult::Ready;
    const mmc::SenseInfo s = mmc::DecodeSense(LastSense);
    if (s.valid && s.key == 0x06 && !s.deferred) {
      if (++attentions <= kMaxUnitAttentions) continue;
      return TWaitResult::Failed;
    }
    // Not ready, with the cause "in progress" (becoming ready, formatting,
    // long write, ...); "initializing command required" and "manual
    // intervention required" never end by waiting. A drive too busy to
    // answer (BUSY status, a time-out of the transport) is asked again.
    const bool inProgress = s.valid && !s.deferred && s.key == 0x02 && s.asc == kAscNotReady && s.ascq != 0x02 &&
                            s.ascq != 0x03;
    const bool noAnswer =
        !s.valid && (TargetBusy || LastError == msg::COMMAND_TIMEOUT || LastError == msg::SRB_TIMEOUT);
    if (!inProgress && !noAnswer) return TWaitResult::Failed;
    if (progress) progress(TWaitProgress{s.progressValid, s.progress, waited});
    for (std::uint32_t slept = 0; slept < pause;) {
      if (cancelled()) return TWaitResult::Cancelled;
      const std::uint32_t n = std::min({kSliceMs, pause - slept, budgetMs - std::min(budgetMs, waited)});
      if (n == 0) break;
      SleepMs(n);
      slept += n;
      waited += n;
    }
    if (waited >= budgetMs) return TWaitResult::TimedOut;
    pause = std::min(stepMs, pause * 2);
  }
}

bool TSCSIDevice::WaitUntilReady(std::int32_t budgetMs, std::int32_t stepMs) {
  alignas(8) std::array<std::uint8_t, 40> sense{};
  auto lastAsc = [&] { return LastSense[12]; };
  // Never waits beyond the budget: a step longer than what is left is cut
  // short (the budget check that follows then ends the wait).
  auto pause = [&](std::int32_t ms) {
    const std::int32_t n = std::min(ms, std::max(budgetMs, 0));
    if (n > 0) SleepMs(static_cast<std::uint32_t>(n));
  };

  if (FSlowReady) {
    do {
      pause(1500);
      budgetMs -= 1500;
      if (budgetMs < 0) break;
      TestUnitReady(5000);
    } while (lastAsc() == kAscNotReady);
  }

  bool toRequestSense = false;
  if (LastDiscKind == mmc::kKindDvdRam) {
    sense[12] = kAscNotReady;
    toRequestSense = true;
  } else {
    // Ask before the first pause: a drive that is ready already (a close
    // without the immediate bit returns when done) needs no wait.
    ReadDiscInformation();
    while (lastAsc() == kAscNotReady) {
      pause(stepMs);
      budgetMs -= stepMs;
      if (budgetMs < 0) return false;
      ReadDiscInformation();
    }
  }

  if (!toRequestSense) {
    if (TestUnitReady(5000) && sense[12] == 0) return true;
    // No medium: no wait brings one, and REQUEST SENSE below cannot tell.
    // After the kernel's autosense scsi-cd has no sense left and would read
    // as ready; ide-cd repeats its last error with the VALID bit (F0h) and
    // would be waited on until the budget ran out.
    if (lastAsc() == kAscMediumNotPresent) return false;
    do {
      pause(stepMs);
      budgetMs -= stepMs;
      if (budgetMs < 0) return false;
      TestUnitReady(5000);
    } while (lastAsc() == kAscNotReady);
  }

  for (;;) {
    sense.fill(0);
    RequestSense(sense.data(), static_cast<std::uint8_t>(sense.size()));
    budgetMs -= stepMs;
    if (budgetMs < 0) return false;
    if (sense[0] == 0xF0) sense[12] = kAscNotReady;
    if (sense[12] == kAscNotReady) pause(stepMs);
    if (sense[12] == 0) return true;
  }
}

}  // namespace velloran::drive
