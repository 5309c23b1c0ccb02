// Turning command-line paths into a compilation: each PATH is a file or a
// folder (a folder's contents go to the disc's root); DEST=SRC places SRC at
// DEST inside the disc ("\=" stands for a literal "=").
#pragma once

#include "cli/commands.h"
#include "image/zbCDBC.h"

#include <ostream>
#include <string>
#include <vector>

namespace velloran::cli {

struct CompilationArgs {
  std::string volume;
  std::string boot;
  bool noJoliet = false;
  bool noRockRidge = false;
  bool links = false;
  bool keepOwners = false;
  bool verbose = false;
  std::vector<std::string> paths;
};

// The --volume, --boot, --no-joliet, --no-rock-ridge, --links,
// --keep-owners and --verbose options and the PATH arguments.
void AddCompilationOptions(CLI::App* command, CompilationArgs& args);

// Fills the burner's compilation. On failure prints why, prefixed by
// "velloran COMMAND: ", and returns the exit code; kExitOk otherwise.
int FillCompilation(image::TZCDBurner& burner, const CompilationArgs& args, const GlobalOptions& globals,
                    const std::string& command);

// After a layout: how many names the disc shows otherwise than they were
// given, and what was left out ("3 names changed for the disc: ..."); every
// one of them when verbose. Nothing when there is nothing to say.
void PrintNameReport(const image::TZCDBurner& burner, bool verbose, std::ostream& out);
// Only what was left out (part of PrintNameReport).
void PrintSkipped(const image::TZCDBurner& burner, bool verbose, std::ostream& out);

// A name or path as the terminal may show it: control characters (a Linux
// name may hold any byte but '/' and NUL, an escape sequence included) are
// written as \xNN.
std::string ForTerminal(const std::string& text);

}  // namespace velloran::cli
