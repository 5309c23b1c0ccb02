// Subcommands of the velloran tool. Each command lives in its own file and
// registers itself with a static CommandRegistration, so commands can be
// added without touching main.cpp.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace velloran::cli {

// Exit codes shared by every command.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,
  kExitUsage = 2,
  kExitAborted = 3,
  kExitNoDrive = 4,
};

// Options every command sees.
struct GlobalOptions {
  bool debug = false;  // --debug: the component's diagnostic lines on stderr
  std::string aspiLibrary;  // --aspi-library: an explicit ASPI-style library
};

// Adds one subcommand to the app. The callback it installs must set *exitCode.
using CommandInstaller = std::function<void(CLI::App& app, const GlobalOptions& globals, int* exitCode)>;

struct CommandRegistration {
  explicit CommandRegistration(CommandInstaller installer);
};

std::vector<CommandInstaller>& RegisteredCommands();

}  // namespace velloran::cli
