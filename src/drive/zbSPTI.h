// The pass-through layer: serves ASPI request blocks with the kernel's SCSI
// generic interface (SG_IO) on the optical device nodes. Drive letters map to
// nodes as D: = /dev/sr0, E: = /dev/sr1, ... (C: is never an optical drive).
// The system calls go through platform::ScsiSystem, so tests can put an
// emulated device behind them.
#pragma once

#include "drive/zbASPI.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace velloran::drive {

// When true, the layer closes a drive's handle after each command. Callers
// set it around commands whose effect is tied to the handle (eject, allowing
// removal): the kernel drops a removal lock when the last handle closes.
extern std::atomic<bool> CloseHandleAfterCommand;

#pragma pack(push, 1)
// One entry per drive letter (index 0 = A).
struct PassThroughDrive {
  std::uint8_t adapter;
  std::uint8_t target;  // 120 for letters that are not optical drives
  std::uint8_t lun;     // 250 marks a drive without SCSI address during enumeration
  std::uint8_t letterIndex;
  std::uint8_t present;
  std::int32_t handle;  // open descriptor, or -1
  std::uint8_t inquiry[40];
};
#pragma pack(pop)

struct PassThroughDriveTable {
  std::uint8_t adapterCount = 0;
  PassThroughDrive drives[27]{};
};

inline constexpr std::uint8_t kNotOpticalTarget = 120;
inline constexpr std::uint8_t kNoAddressLun = 250;
// Time-out of a pass-through request that no command time-out was given
// for (the probes while drives are enumerated), in milliseconds.
inline constexpr unsigned kPassThroughTimeoutMs = 120000;

// The time-out (ms) the kernel is to give the next request sent from the
// calling thread: ExecuteCommand hands each command's own time-out over
// here before it sends the request, so a long flush, close or format is
// not aborted (and the drive reset) by a shorter default.
void SetPassThroughTimeout(unsigned ms);

// Probes the drive letters; returns the number of drives found (0 at once
// when already initialised).
int PassThroughInit();
void PassThroughDone();
std::uint32_t PassThroughSupportInfo();
std::uint32_t PassThroughSendCommand(void* srb);

// The table as enumeration left it (tests and DriveLetter read it).
const PassThroughDriveTable& PassThroughTable();

// errno of the last refused open of a drive letter's node (EBUSY, EACCES),
// 0 when the last open succeeded.
int PassThroughOpenError(char letter);

// Lines noted while probing (a node that refused to open for lack of
// permission, with a hint; one that is busy, naming who holds it); taken and cleared by the caller, which reports
// them through OnDebugMessage.
std::vector<std::string> TakePassThroughNotes();

}  // namespace velloran::drive
