#include "vrec/virtual_scsi_system.h"

#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/scsi_ioctl.h>
#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velloran::vrec {
namespace {

// Kernel driver status when sense data was returned.
constexpr unsigned short kDriverSense = 0x08;
// The block layer's largest CDB.
constexpr unsigned kMaxCdb = 16;

}  // namespace

VirtualScsiSystem::VirtualScsiSystem(VirtualScsiOptions options) {
  const int count = options.recorders > 0 ? options.recorders : vrec::RecorderCount(options.stateDir);
  for (int i = 0; i < count; ++i) {
    recorders_.push_back(std::make_unique<Recorder>(options.stateDir, i, options.recorder));
    hosts_.push_back(i < static_cast<int>(options.hostNumbers.size()) ? options.hostNumbers[i] : i);
  }
  openCount_.assign(recorders_.size(), 0);
}

VirtualScsiSystem::~VirtualScsiSystem() = default;

int VirtualScsiSystem::RecorderOfPath(const std::string& path) const {
  static const std::string prefix = "/dev/sr";
  if (path.compare(0, prefix.size(), prefix) != 0 || path.size() == prefix.size()) return -1;
  int n = 0;
  for (std::size_t i = prefix.size(); i < path.size(); ++i) {
    if (path[i] < '0' || path[i] > '9' || n > 1000) return -1;
    n = n * 10 + (path[i] - '0');
  }
  return n < static_cast<int>(recorders_.size()) ? n : -1;
}

bool VirtualScsiSystem::NodeExists(const std::string& path) { return RecorderOfPath(path) >= 0; }

int VirtualScsiSystem::Open(const std::string& path, int flags) {
  const int n = RecorderOfPath(path);
  if (n < 0) return -ENOENT;
  {
    std::lock_guard<std::mutex> guard(mu_);
    if (auto it = openErrors_.find(path); it != openErrors_.end()) return -it->second;
  }
  if (!(flags & O_NONBLOCK)) {
    // Like sr: a blocking open needs a medium in the drive.
    auto status = recorders_[n]->Status();
    if (!status || status->kind == MediumKind::None || status->trayOpen) return -ENOMEDIUM;
  }
  std::lock_guard<std::mutex> guard(mu_);
  const int fd = nextFd_++;
  fds_[fd] = n;
  ++openCount_[n];
  return fd;
}

int VirtualScsiSystem::Close(int fd) {
  int n = -1;
  {
    std::lock_guard<std::mutex> guard(mu_);
    auto it = fds_.find(fd);
    if (it == fds_.end()) return -EBADF;
    n = it->second;
    fds_.erase(it);
    --openCount_[n];
    if (openCount_[n] > 0) return 0;
  }
  // The last close unlocks the door, as the kernel's cdrom release does.
  recorders_[n]->ReleasePrevent();
  return 0;
}

int VirtualScsiSystem::Ioctl(int fd, unsigned long request, void* arg) {
  int n = -1;
  {
    std::lock_guard<std::mutex> guard(mu_);
    auto it = fds_.find(fd);
    if (it == fds_.end()) return -EBADF;
    n = it->second;
  }
  if (!arg) return -EFAULT;
  switch (request) {
    case SCSI_IOCTL_GET_IDLUN: {
      // id | lun << 8 | channel << 16 | host << 24, then the host's unique id.
      auto* words = static_cast<int*>(arg);
      const int host = hosts_[n];
      words[0] = 0 | (0 << 8) | (0 << 16) | (host << 24);
      words[1] = host + 1;
      return 0;
    }
    case SCSI_IOCTL_GET_BUS_NUMBER:
      *static_cast<int*>(arg) = hosts_[n];
      return 0;
    case SG_IO: break;
    default: return -ENOTTY;
  }
  auto* io = static_cast<sg_io_hdr_t*>(arg);
  if (io->interface_id != 'S') return -EINVAL;
  if (io->cmd_len < 6 || io->cmd_len > kMaxCdb || !io->cmdp) return -EINVAL;
  if (io->iovec_count != 0) return -EINVAL;
  if (io->dxfer_len && !io->dxferp) return -EFAULT;
  DataDirection direction = DataDirection::None;
  switch (io->dxfer_direction) {
    case SG_DXFER_NONE: break;
    case SG_DXFER_TO_DEV: direction = DataDirection::Out; break;
    case SG_DXFER_FROM_DEV:
    case SG_DXFER_TO_FROM_DEV: direction = DataDirection::In; break;
    default: return -EINVAL;
  }
  std::span<std::uint8_t> data;
  if (direction != DataDirection::None)
    data = std::span<std::uint8_t>(static_cast<std::uint8_t*>(io->dxferp), io->dxfer_len);
  const std::span<const std::uint8_t> cdb(io->cmdp, io->cmd_len);
  ++commands_[cdb[0]];
  const CommandResult r = recorders_[n]->Execute(cdb, data, direction);
  io->status = r.status;
  io->masked_status = static_cast<unsigned char>((r.status >> 1) & 0x7F);
  io->msg_status = 0;
  io->host_status = 0;
  io->driver_status = 0;
  io->sb_len_wr = 0;
  if (r.senseLength && io->sbp && io->mx_sb_len) {
    const std::size_t n2 = std::min<std::size_t>(io->mx_sb_len, r.senseLength);
    std::memcpy(io->sbp, r.sense.data(), n2);
    io->sb_len_wr = static_cast<unsigned char>(n2);
    io->driver_status = kDriverSense;
  }
  io->resid = static_cast<int>(direction == DataDirection::None ? 0 : io->dxfer_len - r.transferred);
  io->duration = r.durationMs;
  io->info = r.status != 0 ? SG_INFO_CHECK : SG_INFO_OK;
  return 0;
}

std::string VirtualScsiSystem::UsePath(const std::string& node) {
  const int n = RecorderOfPath(node);
  return n < 0 ? std::string() : recorders_[n]->DevicePath().string();
}

void VirtualScsiSystem::SetHostNumber(int recorder, int host) { hosts_.at(static_cast<std::size_t>(recorder)) = host; }

void VirtualScsiSystem::SetOpenError(const std::string& path, int err) {
  std::lock_guard<std::mutex> guard(mu_);
  if (err)
    openErrors_[path] = err;
  else
    openErrors_.erase(path);
}

int VirtualScsiSystem::OpenHandles(int recorder) const {
  std::lock_guard<std::mutex> guard(mu_);
  return openCount_.at(static_cast<std::size_t>(recorder));
}

int VirtualScsiSystem::OpenHandles() const {
  std::lock_guard<std::mutex> guard(mu_);
  int total = 0;
  for (int c : openCount_) total += c;
  return total;
}

std::uint64_t VirtualScsiSystem::CommandsSeen() const {
  std::uint64_t total = 0;
  for (const auto& c : commands_) total += c.load();
  return total;
}

}  // namespace velloran::vrec
