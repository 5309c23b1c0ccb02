#include "cli/commands.h"
#include "platform/allocator.h"

#include <iostream>

namespace velloran::cli {

std::vector<CommandInstaller>& RegisteredCommands() {
  static std::vector<CommandInstaller> commands;
  return commands;
}

CommandRegistration::CommandRegistration(CommandInstaller installer) {
  RegisteredCommands().push_back(std::move(installer));
}

}  // namespace velloran::cli

int main(int argc, char** argv) {
  using namespace velloran::cli;
  velloran::platform::KeepLargeBlocksReturnable();
  CLI::App app{"Velloran DVD/CD Burner - burn, save and inspect data discs"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "velloran 3.38");
  GlobalOptions globals;
  app.add_flag("--debug", globals.debug, "Print the burner's diagnostic lines on stderr");
  app.add_option("--aspi-library", globals.aspiLibrary,
                 "Use this ASPI-style library when no drive answers through pass-through");
  int exitCode = kExitOk;
  for (auto& install : RegisteredCommands()) install(app, globals, &exitCode);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : kExitUsage;
  }
  return exitCode;
}
