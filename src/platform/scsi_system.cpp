#include "platform/scsi_system.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace velloran::platform {
namespace {

class KernelSystem final : public ScsiSystem {
 public:
  bool NodeExists(const std::string& path) override {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode));
  }
  int Open(const std::string& path, int flags) override {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
  }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    int r;
    do {
      r = ::ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r >= 0 ? r : -errno;
  }
  int Close(int fd) override { return ::close(fd) == 0 ? 0 : -errno; }
};

std::atomic<ScsiSystem*> g_installed{nullptr};

}  // namespace

ScsiSystem& KernelScsiSystem() {
  static KernelSystem kernel;
  return kernel;
}

ScsiSystem& CurrentScsiSystem() {
  ScsiSystem* s = g_installed.load();
  return s ? *s : KernelScsiSystem();
}

void InstallScsiSystem(ScsiSystem* system) { g_installed.store(system); }

std::string OpticalNodeForLetter(char letter) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'D' || letter > 'Z') return {};
  return "/dev/sr" + std::to_string(letter - 'D');
}

}  // namespace velloran::platform
