// TSCSIDevice: the drive class. It chooses the transport, enumerates the
// optical drives into device lines, selects one, and sends it SCSI
// Multi-Media Commands through ExecuteCommand, which turns every failure into
// LastError / LastSense / TargetBusy. Nothing here throws to the caller:
// operations return false (or 0) and leave the reason in LastError.
#pragma once

#include "drive/zbASPI.h"
#include "drive/disc_record.h"
#include "drive/mmc_cdb.h"
#include "drive/mmc_reply.h"
#include "platform/drive_use.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
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
  // What InitializeASPI found about drives it could not list (a node the
  // user may not open, one that another program holds), one line each; also
  // reported through OnDebugMessage with type 0.
  std::vector<std::string> DriveNotes;
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
  // True silences the error trace (one line through OnDebugMessage, type 0,
  // for each failed command that is not a polling one).
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

  // Each operation sends one command and returns true when it completed
  // (status SS_COMP); the reason for a failure is in LastError / LastSense.
  // Time-outs are in milliseconds.
  bool TestUnitReady(std::uint32_t timeoutMs);
  bool RezeroUnit();
  // Raw sense data into buffer (length bytes).
  bool RequestSense(std::uint8_t* buffer, std::uint8_t length);
  bool FormatUnit(std::uint8_t flags, const std::uint8_t* list, std::uint32_t length);
  // Ejects (eject true) or loads the medium.
  bool StartStopUnit(bool eject);
  bool PreventAllowRemoval(bool allow);
  // Outputs change only on success. Block size is always 2048.
  bool ReadFormatCapacities(std::uint32_t& size, std::uint32_t& blockSize);
  // The whole READ FORMAT CAPACITIES reply, decoded; unchanged on failure.
  bool ReadFormatCapacityList(mmc::FormatCapacityList& list);
  // Last readable block address and block length.
  bool ReadCapacity(std::uint32_t& lastLba, std::uint32_t& blockSize);
  bool Read10(std::uint32_t lba, std::uint16_t count, std::uint32_t length, std::uint8_t* buffer);
  // Also succeeds while the request is still pending (status 0); fails when
  // the request could not be sent at all.
  bool Write10(std::uint32_t lba, std::uint16_t count, std::uint8_t flags, std::uint32_t length,
               const std::uint8_t* buffer);
  bool SynchronizeCache(std::uint32_t timeoutMs, bool immed);
  // Raw reply into buffer; a length above 255 fails without sending.
  bool ReadTOC(std::uint8_t format, std::uint8_t* buffer, std::uint8_t control, bool msf, std::uint8_t track,
               std::uint32_t length);
  bool GetConfiguration(std::uint8_t rt, std::uint16_t feature, std::uint32_t length, std::uint8_t* buffer);
  // Raw reply into buffer.
  bool ReadDiscInformation(std::uint8_t* buffer, std::uint32_t length);
  // Into DiscInfoBuffer (56 bytes, as the drive sent it) and DiscInfo.
  bool ReadDiscInformation();
  // Into TrackInfo, which is cleared first (so it reads all zero after a
  // failure). Track 255 is the invisible (incomplete) track.
  bool ReadTrackInformation(std::uint32_t track);
  bool ReserveTrack(std::uint32_t blocks);
  bool SendOPCInformation();
  bool ModeSelect10(const std::uint8_t* data, std::uint32_t length);
  // Zeroes clear + 1 bytes of dest, then copies length bytes of the reply
  // there on success (dest must hold max(length, clear + 1) bytes; length
  // at most 512).
  bool ModeSense10(std::uint8_t page, std::uint8_t* dest, bool defaults, std::uint32_t length, std::uint32_t clear);
  // Closes the invisible track (track true) or the session; finalize closes
  // the session and the disc.
  bool CloseTrackSession(bool track, bool immed, bool finalize);
  bool CloseTrackSessionRaw(bool immed, std::uint8_t function, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5);
  // Updates DeviceBufferSize and DeviceFreeBufferSize (the latter 0 on failure).
  bool ReadBufferCapacity();
  bool SendCueSheet(const std::uint8_t* sheet, std::uint32_t length);
  bool SetStreaming(const std::uint8_t* descriptor, std::uint32_t length);
  // Speeds in kB/s; 0 asks for the drive's maximum.
  bool SetCDSpeed(std::uint16_t readSpeed, std::uint16_t writeSpeed);
  bool SendDVDStructure(std::uint8_t format, const std::uint8_t* data, std::uint32_t length);

  // Composite operations.
  // Sizes in kB, times in ms; the start address sent is always 0.
  bool SetStreamingPerformance(std::uint32_t startLba, std::uint32_t endLba, std::uint32_t readSize,
                               std::uint32_t writeSize, std::uint32_t readTime, std::uint32_t writeTime);
  // Writes the recording date and time (local time of `when`) to a DVD-R/-RW.
  bool SendTimeStamp(std::time_t when);
  // Mode page 05h for the medium kind. Sends nothing and succeeds for DVD-RAM.
  bool SetWriteParameters(bool testWrite, bool underrun, std::uint8_t discKind, bool multiSession);
  // Sets WriteModes from the write types the drive accepts.
  void ProbeWriteModes();
  // Waits for a drive after a long operation; false when the budget ran out.
  bool WaitUntilReady(std::int32_t budgetMs, std::int32_t stepMs);
  // How a wait for a busy drive ended.
  enum class TWaitResult : std::uint8_t { Ready, TimedOut, Cancelled, Failed };
  // Where a wait stands, after each poll that found the drive busy.
  struct TWaitProgress {
    bool fromDrive = false;      // the drive told how far its operation got
    std::uint16_t done = 0;      // its fraction done, x 65536
    std::uint32_t waitedMs = 0;  // time waited so far
  };
  // The one wait for a drive busy with a long operation (formatting,
  // blanking, closing, writing out its cache) or becoming ready. Polls TEST
  // UNIT READY every stepMs until it succeeds (Ready), the budget is spent
  // (TimedOut), *cancel turns true (Cancelled; looked at every 250 ms at
  // least) or the drive answers anything but "not ready, operation in
  // progress" (Failed: no medium, an error the operation left behind; the
  // reason in LastError / LastSense). progress hears after every poll that
  // found the drive busy.
  TWaitResult WaitForDrive(std::uint32_t budgetMs, std::uint32_t stepMs, const std::atomic<bool>* cancel = nullptr,
                           const std::function<void(const TWaitProgress&)>& progress = {});
  // Leaves the drive as a recording or an erase found it: neutral CD write
  // parameters, maximum read speed, removal allowed, medium loaded.
  void NeutralDriveState();

  // --- Who else holds the drive ---------------------------------------------
  // How messages name the selected drive: "D:", or "drive 0:0:0" when it
  // has no letter.
  std::string DriveName();
  // Who besides this program holds the selected drive: mounts of its disc,
  // other processes with its node open, an exclusive claim (also when the
  // drive's node refused our open as busy).
  platform::DriveUse FindDriveUse();
  // True when the drive reports its medium locked (mode page 2Ah, lock
  // state); false when it does not or the page cannot be read.
  bool MediumLocked();
  // True while a PREVENT of this object holds the medium.
  bool RemovalPrevented() const { return FRemovalPrevented; }
  // The sentence that says who else holds the drive ("D: is in use by
  // process 4242 (brasero)"), including a medium lock that another program
  // set; empty when the drive is free for this program.
  std::string HeldElsewhere();
  // Ejects the medium, unless another program holds the drive: then returns
  // false with HeldElsewhere()'s sentence in refusal and sends nothing that
  // could lift that program's lock. Otherwise flushes the drive's cache,
  // allows removal and ejects; false with an empty refusal when the drive
  // does not open (the reason in LastError).
  bool EjectMedium(std::string& refusal);
  // How a reload of the medium ended.
  enum class TReload : std::uint8_t { Reloaded, NotPossible, TrayLeftOpen };
  // Opens and closes the tray, so that the operating system reads the disc
  // anew after a recording (Linux keeps the size it saw when the disc was
  // blank until the medium changes). Only a drive with a tray it moves
  // itself is reloaded (NotPossible otherwise, with nothing sent that moves
  // it); TrayLeftOpen when the tray did not close again and become ready
  // within budgetMs.
  TReload ReloadMedium(std::uint32_t budgetMs);

  // Pauses between polls of a busy drive (and the recording's waits for
  // it); tests replace it.
  virtual void SleepMs(std::uint32_t ms);

  std::uint16_t WriteSpeed() const { return FWriteSpeed; }
  // Sends SET CD SPEED (ReadSpeed, value) and keeps the value whatever the
  // drive answered.
  void SetWriteSpeed(std::uint16_t value);
  std::uint16_t ReadSpeed = 0;  // kB/s, 0 = maximum
  std::uint32_t DeviceBufferSize = 0;      // bytes
  std::uint32_t DeviceFreeBufferSize = 0;  // bytes
  // Options of the recording that the write parameters page follows.
  bool FinalizeDisc = false;
  bool UnderrunProtection = true;
  // Bits 1, 2, 4: raw, session-at-once, track-at-once accepted.
  std::uint8_t WriteModes = 0;

  // Last replies (per device).
  mmc::TTrackInfo TrackInfo{};
  mmc::TDiscInformation DiscInfo{};
  alignas(8) std::array<std::uint8_t, 56> DiscInfoBuffer{};
  alignas(8) std::array<std::uint8_t, 114> TocBuffer{};      // READ TOC format 0
  alignas(8) std::array<std::uint8_t, 4> SessionBuffer{};    // READ TOC format 1
  alignas(8) std::array<std::uint8_t, 28> AtipBuffer{};      // READ TOC format 4
  alignas(8) std::array<std::uint8_t, 54> WriteParametersPage{};

  // --- Drive identification and capabilities --------------------------------
  // Selects the device of a Devices line ("A:T:L,X: ..."; adapter, target and
  // LUN are its 1st, 3rd and 5th characters, one digit each) and identifies
  // it. An empty id deselects silently; an invalid id or a device that is not
  // a CD/DVD drive deselects and reports through OnDebugMessage.
  void SetDevice(const std::string& id);
  // Reads mode page 2Ah and features 2Ah, 3Bh, 2Fh into Capabilities and the
  // speeds. False when the current page cannot be read.
  bool ReadCapabilities();
  // Read afresh from the drive; 0 when the page cannot be read.
  std::uint16_t MaxWriteSpeed();
  std::uint16_t MaxReadSpeed();
  std::uint16_t CurrentWriteSpeed();
  std::uint16_t DeviceMaxWriteSpeed() const { return FDeviceMaxWriteSpeed; }
  std::uint16_t DeviceMaxReadSpeed() const { return FDeviceMaxReadSpeed; }
  std::uint8_t DeviceType() const { return FDeviceType; }
  const std::string& DeviceDescription() const { return FDeviceDescription; }
  bool SlowReady() const { return FSlowReady; }
  bool LinkSizeValid() const { return FLinkSizeValid; }

  std::uint32_t Capabilities = 0;  // mmc::cap bits
  // Mode page 2Ah as read (raw bytes) and its words in host order.
  alignas(8) std::array<std::uint8_t, 516> CapabilityPage{};
  mmc::CapabilityWords CapabilityWords{};
  TDeviceChangedEvent OnDeviceChange;

  // --- Disc and track information -------------------------------------------
  // Disc kind code of the medium (mmc::DiscKindCode; 0 unknown).
  std::uint8_t GetDiscKind();
  // Fills disc; when the drive is not ready, disc is left unchanged and the
  // result is false.
  bool GetDiscInfo(TDisc& disc);
  bool IsErasable();
  // -1 when unreadable, else 0 empty, 1 incomplete, 2 complete, 3 other.
  int GetDiscStatus();
  // Block address where the next track or session starts (0 when unknown):
  // the writable address of the disc's last track on media recorded in
  // sessions, the end of the recorded file system on overwritable media
  // (on DVD-RW in restricted overwrite rounded up to its 16-block units).
  std::uint32_t NextWritableAddress();
  // Volume space size of the ISO 9660 file system on an overwritable disc, or 0.
  std::uint32_t VolumeSpaceSize();
  std::uint32_t FreeBlocks();
  std::uint32_t DiscCapacity();
  // Blocks a DVD-RW in restricted overwrite can hold once its formatted
  // area has grown as far as it can (0 when the drive cannot tell).
  std::uint32_t RestrictedOverwriteCapacity();
  int GetSessionCount();
  // Disc kind stored by IsErasable when it had to ask the profile.
  std::uint16_t LastDiscKind = 0;
  TDisc Disc{};

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

  // Sends a prepared MMC command with a data buffer.
  bool Send(const mmc::Command& command, void* buffer, std::uint32_t length);
  void Deselect();
  bool SetWriteModePage(std::uint8_t writeType);
  // The write parameters the disc queries send first.
  void SendQueryWriteParameters(std::uint8_t kind);

  std::uint16_t FWriteSpeed = 0;
  std::uint16_t FDeviceMaxWriteSpeed = 0;
  std::uint16_t FDeviceMaxReadSpeed = 0;
  std::uint8_t FDeviceType = 0x7F;
  std::string FDeviceDescription;
  // Model quirks, set by SetDevice.
  bool FLinkSizeValid = false;   // page 05h needs LS_V
  bool FSlowReady = false;       // long waits after closing or blanking
  bool FUnderrunByModel = false; // underrun protection the page does not show
  bool FRemovalPrevented = false;  // our PREVENT holds the medium

  std::uint8_t FAdapter = kNoDevice;
  std::uint8_t FTarget = kNoDevice;
  std::uint8_t FLun = kNoDevice;

 private:
  void TraceError(const SRB_ExecSCSICmd& srb);

  std::recursive_mutex FCriticalSection;
};

}  // namespace velloran::drive
