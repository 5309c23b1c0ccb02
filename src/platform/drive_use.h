// Who, besides this program, holds a drive: the mounts of its disc (from
// /proc/self/mountinfo), the processes that have its device node open (from
// /proc/PID/fd, as far as this user may look), and an exclusive claim that
// the kernel reports only as EBUSY to an exclusive open.
//
// Windows answers "in use" with a sharing violation and no names; on Linux a
// burner can say who holds the drive and what to do about it, so the user
// is not left guessing why a burn or an eject is refused.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velloran::platform {

// One line of /proc/PID/mountinfo (the fields this unit uses).
struct MountEntry {
  unsigned major = 0;
  unsigned minor = 0;
  std::string mountPoint;  // escapes decoded
  std::string fsType;
  std::string source;      // escapes decoded
};

// Parses mountinfo text; lines without the expected shape are skipped.
std::vector<MountEntry> ParseMountInfo(std::string_view text);
// Decodes the kernel's octal escapes in a mountinfo field (\040 a blank,
// \011 a tab, \012 a newline, \134 a backslash); anything else stays as is.
std::string DecodeMountField(std::string_view field);

struct DriveHolder {
  int pid = 0;
  std::string name;  // the process's command name (/proc/PID/comm), printable
};

struct DriveUse {
  std::vector<std::string> mountPoints;  // where the node's disc is mounted
  std::vector<DriveHolder> holders;      // other processes with the node open, by pid
  // The kernel refused an exclusive open (EBUSY) that no mount explains:
  // a program that hides from this user, or one that claimed the device.
  bool claimedExclusively = false;

  bool Any() const { return !mountPoints.empty() || !holders.empty() || claimedExclusively; }
};

struct DriveUseOptions {
  std::string procRoot = "/proc";  // tests point this at a folder of their own
  int selfPid = 0;                 // never counted as a holder; 0: this process
  bool probeExclusive = true;      // try an exclusive open of a block device node
};

// Looks up who uses `node`. A device node matches by device number (so
// /dev/cdrom and /dev/sr0 are the same drive); any other file by its inode.
// Processes and mounts this user may not examine are passed over. A node
// that does not exist is used by nobody.
DriveUse FindDriveUse(const std::string& node, const DriveUseOptions& options = {});

// The sentence that names who holds the drive, or empty when nobody does:
//   "The disc in D: is mounted at /media/ann/BACKUP: unmount it first (umount /media/ann/BACKUP)"
//   "D: is in use by process 4242 (brasero)"
// driveName is how the user knows the drive ("D:", "drive 0:0:0").
std::string DescribeDriveUse(const DriveUse& use, const std::string& driveName);

// A word made safe to paste into a shell: quoted when it needs to be.
std::string ShellWord(const std::string& word);

}  // namespace velloran::platform
