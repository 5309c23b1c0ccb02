// velloran drives: the transport and the drives it finds.
#include "cli/commands.h"
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
  for (const auto& line : device.Devices) std::cout << line << "\n";
  return kExitOk;
}

const CommandRegistration registration([](CLI::App& app, const GlobalOptions& globals, int* exitCode) {
  auto* cmd = app.add_subcommand("drives", "List the CD/DVD drives and the transport that reaches them");
  cmd->callback([&globals, exitCode] { *exitCode = RunDrives(globals); });
});

}  // namespace
}  // namespace velloran::cli
