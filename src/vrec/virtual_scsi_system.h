// The virtual recorders presented as Linux SCSI CD-ROM nodes (/dev/sr0,
// /dev/sr1, ...) behind the pass-through seam, so the pass-through layer runs
// unchanged against them: open/close, SG_IO, SCSI_IOCTL_GET_IDLUN and
// SCSI_IOCTL_GET_BUS_NUMBER behave as the kernel's sr driver does.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/scsi_system.h"
#include "vrec/recorder.h"

namespace velloran::vrec {

struct VirtualScsiOptions {
  std::filesystem::path stateDir;    // empty: DefaultStateDir()
  int recorders = 0;                 // 0: as many as the state folder holds (at least 1)
  std::vector<int> hostNumbers;      // per recorder; default: recorder N on host N
  RecorderOptions recorder;          // clock, time scale, buffer
};

class VirtualScsiSystem final : public platform::ScsiSystem {
 public:
  explicit VirtualScsiSystem(VirtualScsiOptions options = {});
  ~VirtualScsiSystem() override;

  bool NodeExists(const std::string& path) override;
  int Open(const std::string& path, int flags) override;
  int Ioctl(int fd, unsigned long request, void* arg) override;
  int Close(int fd) override;
  // A recorder's users hold its device file (Recorder::DevicePath).
  std::string UsePath(const std::string& node) override;

  int RecorderCount() const { return static_cast<int>(recorders_.size()); }
  Recorder& recorder(int n) { return *recorders_.at(static_cast<std::size_t>(n)); }
  static std::string NodeName(int n) { return "/dev/sr" + std::to_string(n); }

  // Setup for tests.
  void SetHostNumber(int recorder, int host);
  // Makes open(2) of a node fail with -err (0 clears), as for a node the user
  // may not open (EACCES).
  void SetOpenError(const std::string& path, int err);

  // Counters.
  int OpenHandles(int recorder) const;
  int OpenHandles() const;
  std::uint64_t CommandsSeen(std::uint8_t opcode) const { return commands_[opcode].load(); }
  std::uint64_t CommandsSeen() const;

 private:
  int RecorderOfPath(const std::string& path) const;

  std::vector<std::unique_ptr<Recorder>> recorders_;
  std::vector<int> hosts_;
  mutable std::mutex mu_;
  std::map<int, int> fds_;           // descriptor -> recorder
  std::vector<int> openCount_;
  std::map<std::string, int> openErrors_;
  int nextFd_ = 1000;
  std::array<std::atomic<std::uint64_t>, 256> commands_{};
};

}  // namespace velloran::vrec
