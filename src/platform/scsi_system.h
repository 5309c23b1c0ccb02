// The system calls under the pass-through layer, behind one narrow seam.
//
// The pass-through layer (drive/zbSPTI) speaks to optical drives through
// these calls only: whether a device node exists, open, ioctl and close. The
// real implementation goes to the kernel (SG_IO, SCSI_IOCTL_GET_IDLUN,
// SCSI_IOCTL_GET_BUS_NUMBER on /dev/srN); tests and the virtual recorder put
// an emulated device behind the same calls, so the layer's SRB-to-SG_IO
// translation runs unchanged against it.
#pragma once

#include <memory>
#include <string>

namespace velloran::platform {

// The SCSI ioctls the pass-through layer uses besides SG_IO, with the
// kernel's numbers (<scsi/scsi.h> would also bring macros such as
// CHECK_CONDITION that clash with ordinary names).
inline constexpr unsigned long kScsiIoctlGetIdLun = 0x5382;
inline constexpr unsigned long kScsiIoctlGetBusNumber = 0x5386;
// SCSI_IOCTL_GET_IDLUN's reply: dev_id = id | lun << 8 | channel << 16 |
// host << 24.
struct ScsiIdLun {
  int dev_id;
  int host_unique_id;
};

class ScsiSystem {
 public:
  virtual ~ScsiSystem() = default;

  // True when the device node exists (it may still refuse to open).
  virtual bool NodeExists(const std::string& path) = 0;
  // open(2): a descriptor, or -errno.
  virtual int Open(const std::string& path, int flags) = 0;
  // ioctl(2) with a pointer argument: 0 (or a positive result), or -errno.
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  // close(2): 0 or -errno.
  virtual int Close(int fd) = 0;
  // The file whose openers are the node's users (who holds the drive): the
  // node itself, unless an emulation keeps its users elsewhere.
  virtual std::string UsePath(const std::string& node) { return node; }
};

// The kernel's calls.
ScsiSystem& KernelScsiSystem();

// The seam in use by the pass-through layer; the kernel unless replaced.
ScsiSystem& CurrentScsiSystem();
// Replaces the seam (nullptr restores the kernel). The caller keeps ownership
// and must keep the object alive while it is installed.
void InstallScsiSystem(ScsiSystem* system);

// The device node of a drive letter: D: is /dev/sr0, E: /dev/sr1, and so on.
// C: and letters before it are never optical drives (empty string).
std::string OpticalNodeForLetter(char letter);

}  // namespace velloran::platform
