// velloran eject [--drive ID]: opens the tray.
#include "cli/commands.h"
#include "cli/drive_select.h"
#include "drive/zbDrvLib.h"

#include <iostream>
#include <memory>
#include <string>

namespace velloran::cli {
namespace {

struct EjectOptions {
  std::string drive;
};

int RunEject(const EjectOptions& o, const GlobalOptions& globals) {
  drive::TSCSIDevice d;
  if (int rc = SelectDrive(d, globals, o.drive, "eject"); rc != kExitOk) return rc;
  // A drive another program holds (a burn in progress, a mounted disc) is
  // left alone: its lock would otherwise be lifted from here.
  std::string refusal;
  if (!d.EjectMedium(refusal)) {
    if (!refusal.empty()) {
      std::cerr << "velloran eject: " << refusal << "\n";
      return kExitFailure;
    }
    std::cerr << "velloran eject: the drive did not open its tray";
    if (!d.LastError.empty()) std::cerr << " (" << d.LastError << ")";
    std::cerr << "\n";
    return kExitFailure;
  }
  return kExitOk;
}

const CommandRegistration registration([](CLI::App& app, const GlobalOptions& globals, int* exitCode) {
  auto o = std::make_shared<EjectOptions>();
  CLI::App* cmd = app.add_subcommand("eject", "Eject the disc");
  cmd->add_option("--drive", o->drive, "Drive: a device line, its A:T:L beginning, or a letter (default: the first)");
  cmd->callback([o, &globals, exitCode] { *exitCode = RunEject(*o, globals); });
});

}  // namespace
}  // namespace velloran::cli
