// velloran info: what the drive is, what it can do, and what medium it holds.
#include "cli/commands.h"
#include "cli/drive_select.h"
#include "drive/mmc_reply.h"
#include "drive/zbDrvLib.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

namespace velloran::cli {
namespace {

namespace mmc = drive::mmc;

std::string Fmt(const char* format, double a, double b = 0) {
  char text[96];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

std::string Speed(unsigned kBs) {
  if (kBs == 0) return "unknown";
  return std::to_string(kBs) + " kB/s (" + Fmt("%.0fx CD, %.1fx DVD", kBs / 176.4, kBs / 1385.0) + ")";
}

std::string Blocks(std::uint32_t blocks) {
  return std::to_string(blocks) + " blocks (" + Fmt("%.1f MB", blocks * 2048.0 / 1048576.0) + ")";
}

const char* DiscStatusName(int status) {
  switch (status) {
    case 0: return "empty";
    case 1: return "incomplete (appendable)";
    case 2: return "complete (finalized)";
    case 3: return "other (random access)";
    default: return "unreadable";
  }
}

const char* SessionStateName(int state) {
  switch (state) {
    case 0: return "empty";
    case 1: return "incomplete";
    case 2: return "reserved/damaged";
    default: return "complete";
  }
}

void PrintDrive(drive::TSCSIDevice& d) {
  std::cout << "Drive: " << d.DeviceId << "\n";
  std::cout << "  Identification:      " << d.DeviceDescription() << "\n";
  const std::uint8_t* inq = d.InquiryBuffer.data();
  std::cout << "  Vendor:              " << std::string(reinterpret_cast<const char*>(inq + 8), 8) << "\n";
  std::cout << "  Product:             " << std::string(reinterpret_cast<const char*>(inq + 16), 16) << "\n";
  std::cout << "  Revision:            " << std::string(reinterpret_cast<const char*>(inq + 32), 4) << "\n";
  std::cout << "  Device type:         " << int{d.DeviceType()}
            << (d.DeviceType() == 5 ? " (CD/DVD)" : " (write-once, not supported)") << "\n";
  const std::string held = d.HeldElsewhere();
  std::cout << "  In use:              " << (held.empty() ? "not by another program" : held) << "\n";

  char hex[16];
  std::snprintf(hex, sizeof hex, "%08X", d.Capabilities);
  std::cout << "Capabilities: " << hex << "h\n";
  for (const auto& c : mmc::CapabilityNames())
    std::cout << "  [" << ((d.Capabilities & c.bit) ? 'x' : ' ') << "] " << c.name << "\n";

  std::cout << "Speeds:\n";
  std::cout << "  Max read speed:      " << Speed(d.DeviceMaxReadSpeed()) << "\n";
  std::cout << "  Max write speed:     " << Speed(d.DeviceMaxWriteSpeed()) << "\n";
  std::cout << "  Current write speed: " << Speed(d.CapabilityWords.currentWriteSpeed) << "\n";
  std::cout << "Buffer:\n";
  std::cout << "  Size (page 2Ah):     " << d.CapabilityWords.bufferSizeKiB << " KiB\n";
  if (d.ReadBufferCapacity())
    std::cout << "  Size / free:         " << d.DeviceBufferSize << " / " << d.DeviceFreeBufferSize << " bytes\n";
  std::string modes;
  if (d.WriteModes & 1) modes += " raw";
  if (d.WriteModes & 2) modes += " session-at-once";
  if (d.WriteModes & 4) modes += " track-at-once";
  std::cout << "Write modes:          " << (modes.empty() ? " none accepted (with this medium)" : modes) << "\n";
}

int PrintMedium(drive::TSCSIDevice& d) {
  std::cout << "Medium:\n";
  // Ask once without the wait the disc record grants a spinning-up drive:
  // an empty tray answers at once.
  if (!d.TestUnitReady(5000) && d.LastSense[12] == 0x3A) {
    std::cout << "  none\n";
    std::cerr << "velloran info: no medium in the drive (" << d.LastError << ").\n";
    return kExitFailure;
  }
  drive::TDisc disc;
  if (!d.GetDiscInfo(disc)) {
    std::cout << "  not ready\n";
    std::cerr << "velloran info: the drive is not ready" << (d.LastError.empty() ? "" : " (" + d.LastError + ")")
              << ".\n";
    return kExitFailure;
  }
  const std::uint8_t kind = d.GetDiscKind();
  char profile[16];
  std::snprintf(profile, sizeof profile, "%04Xh", disc.profile);
  std::cout << "  Kind:                " << int{kind} << " (" << mmc::DiscKindNames()[kind & 15] << ")\n";
  std::cout << "  Profile:             " << profile << " " << disc.mediumName << "\n";
  std::cout << "  Erasable:            " << (disc.erasable ? "yes" : "no")
            << (d.IsErasable() != bool(disc.erasable) ? " (disc information disagrees)" : "") << "\n";
  const int status = d.GetDiscStatus();
  std::cout << "  Disc status:         " << status << " " << DiscStatusName(status) << "\n";
  std::cout << "  Last session state:  " << int{disc.lastSessionState} << " "
            << SessionStateName(disc.lastSessionState) << "\n";
  std::cout << "  Sessions:            " << d.GetSessionCount() << " recorded";
  if (disc.lastSession) std::cout << " (TOC: sessions " << int{disc.firstSession} << " to " << int{disc.lastSession} << ")";
  std::cout << "\n";
  std::cout << "  Block size:          " << disc.blockSize << " bytes\n";
  std::cout << "  Size:                " << Blocks(disc.size) << "\n";
  std::cout << "  Capacity (record):   " << Blocks(disc.capacity) << "\n";
  if (d.ReadDiscInformation()) {
    const auto& di = d.DiscInfo;
    std::cout << "  Tracks:              " << int{di.firstTrack} << " to " << di.lastTrackLastSession << " (last session from "
              << di.firstTrackLastSession << ")\n";
    if (d.ReadTrackInformation(di.lastTrackLastSession)) {
      const auto& t = d.TrackInfo;
      const char* state = t.reserved ? (t.blank ? "reserved" : "partial") : t.blank ? "blank/invisible" : "complete";
      std::cout << "  Last track " << int{t.trackNumber} << ":        " << state << (t.packet ? ", incremental" : "")
                << ", start " << t.trackStart << ", size " << t.trackSize << ", free " << t.freeBlocks;
      if (t.nwaValid) std::cout << ", next writable " << t.nextWritableAddress;
      std::cout << "\n";
    }
  }
  std::uint32_t lastLba = 0, blockLength = 0;
  if (d.ReadCapacity(lastLba, blockLength))
    std::cout << "  READ CAPACITY:       last block " << lastLba << ", " << blockLength << " bytes per block\n";
  std::uint32_t formatBlocks = 0, formatBlockSize = 0;
  if (d.ReadFormatCapacities(formatBlocks, formatBlockSize))
    std::cout << "  Format capacity:     " << Blocks(formatBlocks) << "\n";
  const std::uint32_t nwa = d.NextWritableAddress();
  const std::uint32_t free = d.FreeBlocks();
  const std::uint32_t capacity = d.DiscCapacity();
  std::cout << "  Next writable addr.: " << nwa << "\n";
  std::cout << "  Free blocks:         " << Blocks(free) << "\n";
  std::cout << "  Disc capacity:       " << Blocks(capacity) << "\n";
  return kExitOk;
}

int RunInfo(const GlobalOptions& globals, const std::string& driveId) {
  drive::TSCSIDevice d;
  d.DoDebug = globals.debug;
  d.OnDebugMessage = [&](drive::TObject*, const std::string& text, std::uint8_t) {
    if (globals.debug) std::cerr << text << "\n";
  };
  if (int rc = SelectDrive(d, globals, driveId, "info"); rc != kExitOk) return rc;
  std::cout << "Transport: " << drive::TransportName() << "\n";
  PrintDrive(d);
  return PrintMedium(d);
}

const CommandRegistration registration([](CLI::App& app, const GlobalOptions& globals, int* exitCode) {
  auto* cmd = app.add_subcommand("info", "Show a drive's identification and capabilities and the medium in it");
  auto driveId = std::make_shared<std::string>();
  cmd->add_option("--drive", *driveId, "Drive: a line of `velloran drives`, its A:T:L beginning, or a letter");
  cmd->callback([&globals, exitCode, driveId] { *exitCode = RunInfo(globals, *driveId); });
});

}  // namespace
}  // namespace velloran::cli
