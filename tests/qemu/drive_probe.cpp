// velloran-drive-probe: drives the first optical drive (or the one whose
// device line begins with $VELLORAN_PROBE_DRIVE) through the project's
// own pass-through layer (TSCSIDevice, SG_IO on /dev/sr*) and prints what
// happened as "key: value" lines, for the conformance tests that run it
// inside the QEMU guest. The CLI has no eject or raw-command verbs yet; this
// program sends what the tests need through the same code paths.
//
//   velloran-drive-probe lock       prevent, eject (refused), allow, eject, load
//   velloran-drive-probe prevent    prevent removal and exit while it holds
//   velloran-drive-probe eject      eject and load
//   velloran-drive-probe hold N     prevent removal, keep it N seconds, exit
//   velloran-drive-probe state      whether the drive is ready, and load
//   velloran-drive-probe refusals   commands a read-only drive refuses
//   velloran-drive-probe read       capacity and the volume descriptor
#include "drive/byte_order.h"
#include "drive/mmc_cdb.h"
#include "drive/zbDrvLib.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using velloran::drive::TSCSIDevice;
namespace mmc = velloran::drive::mmc;

class Probe : public TSCSIDevice {
 public:
  using TSCSIDevice::SendCommand;
};

std::string Hex2(unsigned v) {
  char b[4];
  std::snprintf(b, sizeof b, "%02X", v & 0xFF);
  return b;
}

// One line per command: whether it completed, and the sense as received.
void Report(const char* name, bool ok, const Probe& d) {
  std::printf("%s: %s", name, ok ? "ok" : "failed");
  if (!ok) {
    const auto& s = d.LastSense;
    std::printf(" sense=%s key=%s asc=%s ascq=%s error=%s", Hex2(s[0]).c_str(), Hex2(s[2] & 0x0F).c_str(),
                Hex2(s[12]).c_str(), Hex2(s[13]).c_str(), d.LastError.c_str());
  }
  std::printf("\n");
}

bool Eject(Probe& d) { return d.StartStopUnit(true); }
bool Load(Probe& d) { return d.StartStopUnit(false); }

int Lock(Probe& d) {
  Report("prevent", d.PreventAllowRemoval(false), d);
  Report("eject-while-prevented", Eject(d), d);
  Report("allow", d.PreventAllowRemoval(true), d);
  Report("eject", Eject(d), d);
  Report("ready-after-eject", d.TestUnitReady(5000), d);
  Report("load", Load(d), d);
  Report("ready-after-load", d.TestUnitReady(5000), d);
  return 0;
}

int Refusals(Probe& d) {
  std::vector<std::uint8_t> block(2048, 0x5A);
  const mmc::Command w = mmc::Write10(0, 1, mmc::kFlagsOut);
  Report("write10", d.SendCommand(w.cdb.data(), w.cdbLength, w.flags, block.data(), 2048, w.timeoutMs), d);
  const std::uint8_t blank[12] = {0xA1, 0x11};  // minimal blank, immediate
  Report("blank", d.SendCommand(blank, 12, mmc::kFlagsNone, nullptr, 0, 10000), d);
  Report("track-info", d.ReadTrackInformation(1), d);
  std::uint32_t size = 0, blockSize = 0;
  Report("format-capacities", d.ReadFormatCapacities(size, blockSize), d);
  Report("close-session", d.CloseTrackSession(false, false, false), d);
  return 0;
}

int Read(Probe& d) {
  std::uint32_t last = 0, blockSize = 0;
  const bool ok = d.ReadCapacity(last, blockSize);
  Report("read-capacity", ok, d);
  if (ok) std::printf("last-lba: %u\nblock-size: %u\n", last, blockSize);
  std::vector<std::uint8_t> pvd(2048);
  const bool read = d.Read10(16, 1, 2048, pvd.data());
  Report("read16", read, d);
  if (read) std::printf("pvd-id: %.5s\n", reinterpret_cast<const char*>(&pvd[1]));
  std::printf("volume-space-size: %u\n", d.VolumeSpaceSize());
  std::uint8_t toc[114] = {};
  Report("toc-sessions", d.ReadTOC(1, toc, 0, false, 0, 12), d);
  std::printf("toc-sessions-reply: %u %u %u\n", velloran::be::load16(toc), toc[2], toc[3]);
  std::uint8_t atip[28] = {};
  Report("atip", d.ReadTOC(4, atip, 0, true, 0, 26), d);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string verb = argc > 1 ? argv[1] : "";
  Probe d;
  if (!d.InitializeASPI(true, "")) {
    std::printf("transport: none\n");
    return 4;
  }
  std::printf("transport: %s\n", velloran::drive::TransportName().c_str());
  if (d.Devices.empty()) {
    std::printf("device: none\n");
    return 4;
  }
  std::string line = d.Devices.front();
  if (const char* want = std::getenv("VELLORAN_PROBE_DRIVE"); want && *want) {
    line.clear();
    for (const auto& l : d.Devices)
      if (l.rfind(want, 0) == 0) line = l;
    if (line.empty()) {
      std::printf("device: none like %s\n", want);
      return 4;
    }
  }
  d.SetDevice(line);
  std::printf("device: %s\n", d.DeviceId.c_str());
  if (verb == "lock") return Lock(d);
  if (verb == "prevent") {
    Report("prevent", d.PreventAllowRemoval(false), d);
    return 0;  // the descriptor closes as the process ends
  }
  if (verb == "eject") {
    Report("eject", Eject(d), d);
    Report("load", Load(d), d);
    return 0;
  }
  if (verb == "hold") {
    Report("prevent", d.PreventAllowRemoval(false), d);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(argc > 2 ? std::atoi(argv[2]) : 3));
    return 0;
  }
  if (verb == "state") {
    Report("ready", d.TestUnitReady(5000), d);
    Report("load", Load(d), d);
    return 0;
  }
  if (verb == "refusals") return Refusals(d);
  if (verb == "read") return Read(d);
  std::fprintf(stderr, "usage: velloran-drive-probe lock|prevent|hold N|eject|state|refusals|read\n");
  return 2;
}
