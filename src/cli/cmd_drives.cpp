// velloran drives: the transport and the drives it finds.
#include "cli/commands.h"
#include "cli/drive_select.h"
#include "drive/zbConst.h"
#include "drive/zbDrvLib.h"

#include <iostream>

namespace velloran::cli {
namespace {

int RunDrives(const GlobalOptions& globals) {
  drive::TSCSIDevice device;
  device.DoDebug = globals.debug;
  device.OnDebugMessage = [&](drive::TObject*, const std::string& text, std::uint8_t type) {
    // Access problems are worth showing even without --debug: they explain
    // an empty list.
    if (globals.debug || type == 0) std::cerr << text << "\n";
  };
  if (!device.InitializeASPI(true, globals.aspiLibrary)) {
    std::cerr << "velloran: no SCSI transport: no optical drive answered through the kernel's SCSI generic\n"
                 "interface (/dev/sr*), and no ASPI library (wnaspi32.so) was found beside the program\n"
                 "or on the library path.\n";
    return kExitNoDrive;
  }
  std::cout << "Transport: " << drive::TransportName() << "\n";
  if (device.Devices.empty()) {
    std::cout << "No CD/DVD drives found.\n";
    return kExitNoDrive;
  }
  for (const auto& line : device.Devices) {
    std::cout << line << "\n";
    // Who else holds it, as far as the node tells without a command.
    if (line.size() < 5) continue;
    const std::string path = drive::TransportDevicePath(static_cast<std::uint8_t>(line[0] - '0'),
                                                        static_cast<std::uint8_t>(line[2] - '0'),
                                                        static_cast<std::uint8_t>(line[4] - '0'));
    const std::string held = platform::DescribeDriveUse(platform::FindDriveUse(path), DriveNameOfLine(line));
    if (!held.empty()) std::cout << "  " << held << "\n";
  }
  return kExitOk;
}

const CommandRegistration registration([](CLI::App& app, const GlobalOptions& globals, int* exitCode) {
  auto* cmd = app.add_subcommand("drives", "List the CD/DVD drives and the transport that reaches them");
  cmd->callback([&globals, exitCode] { *exitCode = RunDrives(globals); });
});

}  // namespace
}  // namespace velloran::cli
