// The virtual recorder: an emulated MMC optical recorder that answers command
// blocks like a drive behind the kernel's SG_IO, keeps its medium in a state
// folder and stores what is written.
//
// A Recorder object is one process's view of recorder N in a state folder.
// Several objects (in one or several processes) may share a recorder: each
// command holds the recorder's file lock and re-reads the state when another
// object changed it. Nothing here throws; failures come back as SCSI status
// and sense (Execute) or as false with a reason (control calls).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vrec/clock.h"
#include "vrec/media.h"
#include "vrec/sense.h"
#include "vrec/store.h"

namespace velloran::vrec {

enum class DataDirection : std::uint8_t { None, In, Out };

// The outcome of one command, as a kernel pass-through reports it.
struct CommandResult {
  std::uint8_t status = 0;  // SCSI status: 00h GOOD, 02h CHECK CONDITION
  std::array<std::uint8_t, kSenseLength> sense{};
  std::size_t senseLength = 0;  // 18 with CHECK CONDITION, else 0
  std::size_t transferred = 0;  // bytes moved to or from the data buffer
  std::size_t residual = 0;     // buffer length - transferred
  std::uint32_t durationMs = 0;

  bool Good() const { return status == 0; }
  std::uint8_t Key() const { return senseLength ? (sense[2] & 0x0F) : 0; }
  std::uint8_t Asc() const { return senseLength ? sense[12] : 0; }
  std::uint8_t Ascq() const { return senseLength ? sense[13] : 0; }
};

struct RecorderOptions {
  Clock* clock = nullptr;                 // nullptr: the wall clock
  std::optional<double> timeScale;        // overrides env and state folder
  std::uint32_t bufferBytes = 2u << 20;   // drive buffer
};

struct InsertOptions {
  std::optional<std::uint32_t> capacity;  // blocks; nominal size when empty
  bool formatted = false;                 // DVD+RW: insert already formatted
  std::filesystem::path image;            // CD-ROM / DVD-ROM content
};

struct TrackStatus {
  int number = 0;
  int session = 0;
  std::uint32_t start = 0;
  std::uint32_t size = 0;     // logical size (for the open track: what it can take)
  std::uint32_t written = 0;  // blocks recorded
  std::string state;          // "complete", "reserved", "open", "blank"
};

struct RecorderStatus {
  int number = 0;
  std::filesystem::path folder;
  MediumKind kind = MediumKind::None;
  std::string mediumName;  // "CD-R", "DVD-RW Sequential Recording", ...
  std::uint16_t profile = 0;
  bool trayOpen = false;
  std::uint32_t capacity = 0;
  std::string discStatus;  // "blank", "incomplete", "complete", "other"
  int sessions = 0;        // complete sessions + the open one
  int completeSessions = 0;
  std::vector<TrackStatus> tracks;
  std::optional<std::uint32_t> nextWritable;
  std::uint32_t freeBlocks = 0;
  Faults faults;
  bool realTime = false;
  double timeScale = 1.0;
  bool busy = false;
  std::uint64_t underruns = 0;
  bool locked = false;  // a host prevents medium removal
  std::filesystem::path devicePath;  // held open by the processes that lock the medium
};

class Recorder {
 public:
  // Recorder `number` in `stateDir` (DefaultStateDir() when empty).
  explicit Recorder(std::filesystem::path stateDir = {}, int number = 0, RecorderOptions options = {});
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  int Number() const;
  const std::filesystem::path& Folder() const;

  // Runs one command. `data` is the transfer buffer (its size the transfer
  // length the host allowed); `direction` says which way it moves.
  CommandResult Execute(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data,
                        DataDirection direction);

  // Control API. Each returns false with a reason in *why on failure.
  bool Insert(MediumKind kind, const InsertOptions& options, std::string* why = nullptr);
  bool Eject(std::string* why = nullptr);
  // Closes an open tray: the medium in it is loaded again (a user pushing
  // the tray back in after an eject).
  bool CloseTray(std::string* why = nullptr);
  std::optional<RecorderStatus> Status(std::string* why = nullptr);
  // Writes the recorded block space (0 .. end of the last recorded block) to
  // an image file.
  bool Export(const std::filesystem::path& image, std::string* why = nullptr);
  bool SetWriteError(std::uint32_t lba, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq,
                     std::string* why = nullptr);
  bool SetNotReady(std::uint32_t commands, std::string* why = nullptr);
  bool SetSlow(std::uint32_t ms, std::string* why = nullptr);
  bool SetOpcFail(bool on, std::string* why = nullptr);
  // The sector at lba is damaged: at once when it holds data, and whenever
  // it is written while the fault is set (a disc that takes the data but
  // does not keep it).
  bool SetCorrupt(std::uint32_t lba, std::string* why = nullptr);
  // READ covering lba fails with MEDIUM ERROR, UNRECOVERED READ ERROR.
  bool SetReadError(std::uint32_t lba, std::string* why = nullptr);
  bool ClearFaults(std::string* why = nullptr);
  bool SetRealTime(bool on, std::string* why = nullptr);
  bool SetTimeScale(double scale, std::string* why = nullptr);

  // Drops the PREVENT MEDIUM REMOVAL lock this object set (the kernel does
  // so when the last handle on the device closes). A lock another process
  // set stays.
  void ReleasePrevent();
  // Whether the recorder's medium is locked, by any process.
  bool Prevented() const;
  // The file that stands for the recorder's device node: the processes that
  // hold the medium lock hold it open.
  std::filesystem::path DevicePath() const;
  // Buffer underruns seen in real-time mode.
  std::uint64_t Underruns() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The recorders present in a state folder: recorder0 always, then every
// consecutive recorderN folder that exists.
int RecorderCount(const std::filesystem::path& stateDir);

}  // namespace velloran::vrec
