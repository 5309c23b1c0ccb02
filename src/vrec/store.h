// The state folder of one recorder: a small text state file, the sparse file
// of the medium's block space and a lock file. Every command and control call
// holds the lock (flock) while it reads or changes the medium, so several
// processes can share a recorder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "vrec/medium_state.h"

namespace velloran::vrec {

struct Faults {
  struct WriteError {
    std::uint32_t lba = 0;
    std::uint8_t key = kMediumError;
    std::uint8_t asc = 0x0C;
    std::uint8_t ascq = 0x00;
  };
  std::optional<WriteError> writeError;  // WRITE covering lba fails with this sense
  std::uint32_t notReady = 0;            // commands still to answer NOT READY 04/01
  std::uint32_t slowMs = 0;              // extra time each command takes
  bool opcFail = false;                  // power calibration fails (OPC and writes)
  std::optional<std::uint32_t> corrupt;  // the sector at this lba is damaged once written
  std::optional<std::uint32_t> readError;  // READ covering this lba fails 03/11/00

  bool Any() const { return writeError || notReady || slowMs || opcFail || corrupt || readError; }
};

// A long operation started with Immed: its NOT READY qualifier and window.
struct BusyWindow {
  std::uint8_t ascq = 0;  // 0: idle; 04 format, 07 blank, 08 write/close
  std::int64_t startMs = 0;
  std::int64_t endMs = 0;
};

struct PersistedState {
  MediumState medium;
  bool trayOpen = false;
  std::uint64_t mediaChanges = 0;  // bumped on every insert/eject/load
  Faults faults;
  bool realTime = false;
  double timeScale = 1.0;
  std::uint64_t underruns = 0;  // since the medium was inserted, in real-time mode
  BusyWindow busy;
  std::string source;  // the image a pressed disc was made from
  // PREVENT MEDIUM REMOVAL is the drive's, not a process's: every process
  // that uses the recorder sees it and is refused an eject while it lasts.
  bool prevent = false;

  std::string Serialize() const;
  static std::optional<PersistedState> Parse(const std::string& text, std::string* why);
};

// The folder holding every recorder's state: VELLORAN_RECORDER_DIR, else
// $XDG_DATA_HOME/velloran/recorders, else ~/.local/share/velloran/recorders.
std::filesystem::path DefaultStateDir();

class StateStore {
 public:
  StateStore(std::filesystem::path root, int number);
  ~StateStore();
  StateStore(const StateStore&) = delete;
  StateStore& operator=(const StateStore&) = delete;

  const std::filesystem::path& Folder() const { return folder_; }

  // Creates the folder and opens the lock and block files. False with a
  // reason when the folder cannot be used.
  bool Open(std::string* why);

  // Holds the recorder's lock for its lifetime.
  class Lock {
   public:
    explicit Lock(int fd);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    int fd_;
  };
  Lock Acquire() { return Lock(lockFd_); }

  // True when the state file differs from what was last loaded or saved.
  bool Changed() const;
  // Loads the state; a missing file yields the first-use state (a blank
  // 80-minute CD-R), which is saved at once.
  bool Load(PersistedState* out, std::string* why);
  bool Save(const PersistedState& state, std::string* why);

  // Block file access, 2048-byte blocks at lba * 2048.
  bool ReadBlocks(std::int64_t lba, std::uint32_t count, std::uint8_t* out);
  bool WriteBlocks(std::int64_t lba, std::uint32_t count, const std::uint8_t* in);
  // Drops every recorded block.
  bool Erase();
  // Replaces the block space with an image file's contents.
  bool Import(const std::filesystem::path& image, std::string* why);
  // Writes blocks [0, blocks) to a new image file.
  bool Export(const std::filesystem::path& image, std::uint32_t blocks, std::string* why);
  bool Sync();
  // Blocks spanned by the block file (recorded data ends at or before this).
  std::uint64_t DataBlocks() const;

  // The recorder's device file: the stand-in for its device node. A process
  // keeps it open while its PREVENT holds the medium (a shared flock on it),
  // as a program holds /dev/srN open while it keeps the door locked, so
  // other programs can find who holds the recorder and the lock ends when
  // that process does, as the kernel ends it when the last handle closes.
  std::filesystem::path DevicePath() const { return folder_ / "device"; }
  bool HoldDevice();
  void ReleaseDevice();
  bool HoldsDevice() const { return deviceFd_ >= 0; }
  // True when any process (this one included) holds the device file.
  bool DeviceHeld() const;

 private:
  struct Stamp {
    std::uint64_t ino = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t size = -1;
    bool operator==(const Stamp&) const = default;
  };
  Stamp CurrentStamp() const;

  std::filesystem::path folder_;
  std::filesystem::path statePath_;
  int lockFd_ = -1;
  int dataFd_ = -1;
  int deviceFd_ = -1;
  Stamp stamp_;
};

}  // namespace velloran::vrec
