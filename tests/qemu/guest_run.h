// Runs a batch of commands inside one QEMU guest (scripts/qemu-guest.sh):
// Debian's kernel, a busybox initramfs and QEMU's emulated CD/DVD drive at
// /dev/sr0. One boot costs a few seconds, so every command a test suite needs
// for one bus and medium goes into the same run, and each comes back with its
// own stdout, stderr and exit status.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace velloran::qemu {

enum class Bus { kIde, kSata, kScsi };
enum class Medium { kCd, kDvd, kNone };

const char* BusName(Bus bus);
const char* MediumName(Medium medium);

// One command of the batch: a busybox sh command line.
struct Step {
  std::string name;
  std::string command;
  int timeoutSeconds = 60;  // busybox timeout(1): a hung command ends with 124 or 143
};

struct StepResult {
  bool ran = false;
  int status = -1;  // exit status, 128+N when signal N killed it
  std::string out;
  std::string err;
  double seconds = 0;  // guest time the command took
};

struct GuestRun {
  // The guest could not be set up on this machine (no QEMU, no kernel):
  // the reason, and every step is missing.
  bool unavailable = false;
  // The guest booted and ran the batch (a step may still have failed).
  bool booted = false;
  std::string reason;  // why not, with the harness's diagnostics
  std::map<std::string, StepResult> steps;
  double seconds = 0;

  const StepResult& operator[](const std::string& name) const;
};

struct GuestSpec {
  Bus bus = Bus::kIde;
  Medium medium = Medium::kCd;
  std::string image;                    // host path of the ISO image (kCd, kDvd)
  std::vector<std::string> files;       // HOST=GUEST copies
  std::vector<std::string> modules;     // more guest kernel modules (isofs, udf)
  // Drives served over iSCSI instead of QEMU's own drive (bus and medium are
  // ignored then): units at these URLs, then tgt units with these host
  // files as media (a missing file is a blank DVD+R), /dev/sr0 first.
  std::vector<std::string> iscsi;
  std::vector<std::string> tgt;
  int memoryMiB = 0;                    // 0: the harness's default
  std::vector<Step> steps;
  int timeoutSeconds = 150;
};

// Boots the guest once and runs every step in order (each from /root, stdin
// /dev/null). The harness is the script at VELLORAN_QEMU_GUEST_SCRIPT.
GuestRun RunGuest(const GuestSpec& spec);

// Splits "key: value" lines (the probe program's output).
std::map<std::string, std::string> KeyValues(const std::string& text);

// Single-quotes a word for sh.
std::string ShellQuote(const std::string& word);

// Runs a host shell command and returns its stdout (status in *status).
std::string Capture(const std::string& command, int* status = nullptr);

// Comparing a disc's files with their source: a sh command (busybox or
// coreutils) printing md5sum lines for every file under DIR, paths relative
// to it, and the parsed form, path -> checksum. HostTreeChecksums runs the
// same command on the host.
std::string TreeChecksumCommand(const std::string& dir);
std::map<std::string, std::string> ParseChecksums(const std::string& md5sumOutput);
std::map<std::string, std::string> HostTreeChecksums(const std::string& dir);

}  // namespace velloran::qemu
