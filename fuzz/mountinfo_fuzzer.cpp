// Feeds arbitrary bytes to the mount table parser as if they were
// /proc/self/mountinfo. Mount points come from outside: a desktop mounts a
// disc under its volume label, which anyone who burned the disc chose.
#include "platform/drive_use.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velloran::platform;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const MountEntry& m : ParseMountInfo(text)) {
    // What the messages do with a parsed entry.
    DriveUse use;
    use.mountPoints.push_back(m.mountPoint);
    (void)DescribeDriveUse(use, "D:");
  }
  (void)DecodeMountField(text);
  return 0;
}
