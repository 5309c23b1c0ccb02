// TSCSIDevice: the drive class. It chooses the transport, enumerates the
// optical drives into device lines, selects one, and sends it SCSI
// Multi-Media Commands through ExecuteCommand, which turns every failure into
// LastError / LastSense / TargetBusy. Nothing here throws to the caller:
// operations return false (or 0) and leave the reason in LastError.
#pragma once

#include "drive/zbASPI.h"

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace velloran::drive {

// Base of the component classes: events carry their sender.
class TObject {
 public:
  virtual ~TObject() = default;
};

// OnDebugMessage(Sender, Message, mType): mType 1 for progress and log lines
// (">>> ..."), 0 for errors and warnings, 3 for compilation capacity limits,
// 4 for an invalid destination path or an import error.
using TOnDebugMsg = std::function<void(TObject* Sender, const std::string& Message, std::uint8_t mType)>;
using TDeviceChangedEvent = std::function<void(TObject* Sender)>;

// Adapter number meaning "no device selected".
inline constexpr std::uint8_t kNoDevice = 254;

// Opcode names for the error trace, 22 characters each (entry 255 empty).
const std::array<std::string, 256>& CommandNames();

class TSCSIDevice : public TObject {
 public:
  TSCSIDevice();
  ~TSCSIDevice() override;
  TSCSIDevice(const TSCSIDevice&) = delete;
  TSCSIDevice& operator=(const TSCSIDevice&) = delete;

  // --- Transport and enumeration -------------------------------------------
  // Chooses the transport (see SelectTransport) and, on success, enumerates
  // the drives into Devices. Returns false when no transport could be chosen.
  bool InitializeASPI(bool preferPassThrough, const std::string& libraryPath);
  // Rebuilds Devices: one line per CD/DVD (type 5) or write-once (type 4)
  // device, "A:T:L,X: VENDOR  PRODUCT         REV ".
  void RescanDevices();
  // Asks the transport about one host adapter; sets AdapterCount.
  void HostAdapterInquiry(std::uint8_t adapter);
  // Drive letter of the selected device, or '\0' when unknown.
  char DriveLetter();

  std::vector<std::string> Devices;
  std::string DeviceId;
  std::uint8_t AdapterCount = 0;
  SRB_HAInquiry HAInquiryBlock{};

  std::uint8_t Adapter() const { return FAdapter; }
  std::uint8_t Target() const { return FTarget; }
  std::uint8_t Lun() const { return FLun; }

  // --- Command execution ----------------------------------------------------
  // Completes and sends a prepared execute request to the selected device and
  // waits for it (never less than 10 s). Returns 1 after sending, SS_NO_ASPI
  // (E2h) when no transport is loaded or no device is selected (the request
  // is then untouched). Callers judge success by srb.SRB_Status == SS_COMP.
  std::uint8_t ExecuteCommand(SRB_ExecSCSICmd& srb, std::uint32_t timeoutMs);

  static std::string StatusText(std::uint8_t status, std::uint8_t hostStatus, std::uint8_t targetStatus);
  // Text of the request's failure; sets TargetBusy and (via SenseCodeText)
  // LastSense. The result is what ExecuteCommand stores in LastError.
  std::string SenseText(const SRB_ExecSCSICmd& srb);
  // Appends " (ASC/ASCQ text)" to LastError when the sense has additional
  // bytes, and copies the sense area into LastSense.
  void SenseCodeText(const SRB_ExecSCSICmd& srb);
  void DebugMessage(const std::string& text, std::uint8_t mType);

  std::string LastError;
  std::array<std::uint8_t, SENSE_AREA_LEN> LastSense{};
  bool TargetBusy = false;
  bool CommandErrorTraceDone = false;
  bool DoDebug = false;
  TOnDebugMsg OnDebugMessage;

  // The device's re-entrant critical section (guards the cache's block
  // queue; held by the write thread around each block).
  std::recursive_mutex& CriticalSection() { return FCriticalSection; }

  // --- MMC operations -------------------------------------------------------
  // Standard INQUIRY (128 bytes) into InquiryBuffer (callers zero it first).
  bool Inquiry();
  std::array<std::uint8_t, 131> InquiryBuffer{};

 protected:
  // Selects adapter, target and LUN without identifying the device.
  void SelectAddress(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun);

  // Builds one execute request (zeroed; flags; sense length 24; CDB; data)
  // and sends it. Returns true when the request completed with SS_COMP.
  // cdbLength is what the request announces (ReserveTrack sends a 10-byte
  // layout with length 12); cdb must point to at least cdbLength bytes.
  // When srbOut is given, the finished request is copied there. A request
  // that could not be sent (no transport, no device) fails with LastError
  // saying so.
  bool SendCommand(const std::uint8_t* cdb, std::uint8_t cdbLength, std::uint8_t flags, void* buffer,
                   std::uint32_t length, std::uint32_t timeoutMs, SRB_ExecSCSICmd* srbOut = nullptr);

  std::uint8_t FAdapter = kNoDevice;
  std::uint8_t FTarget = kNoDevice;
  std::uint8_t FLun = kNoDevice;

 private:
  void TraceError(const SRB_ExecSCSICmd& srb);

  std::recursive_mutex FCriticalSection;
};

}  // namespace velloran::drive
