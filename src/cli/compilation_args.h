// Turning command-line paths into a compilation: each PATH is a file or a
// folder (a folder's contents go to the disc's root); DEST=SRC places SRC at
// DEST inside the disc ("\=" stands for a literal "=").
#pragma once

#include "cli/commands.h"
#include "image/zbCDBC.h"

#include <string>
#include <vector>

namespace velloran::cli {

struct CompilationArgs {
  std::string volume;
  std::string boot;
  bool noJoliet = false;
  std::vector<std::string> paths;
};

// The --volume, --boot and --no-joliet options and the PATH arguments.
void AddCompilationOptions(CLI::App* command, CompilationArgs& args);

// Fills the burner's compilation. On failure prints why, prefixed by
// "velloran COMMAND: ", and returns the exit code; kExitOk otherwise.
int FillCompilation(image::TZCDBurner& burner, const CompilationArgs& args, const GlobalOptions& globals,
                    const std::string& command);

}  // namespace velloran::cli
