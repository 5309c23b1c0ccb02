// velloran save-iso OUT.iso [--volume LABEL] [--boot IMAGE] [--no-joliet] [--verbose] PATH...
//
// Each PATH is a file or folder; a folder's contents go to the image root.
// A graft point DEST=SRC places SRC at DEST inside the image: a folder's
// contents become DEST, a file is named DEST (or keeps its name inside DEST
// when DEST ends in "/"); "/" separates the folders of DEST, "." and ".."
// are resolved, and a DEST above the root is refused. "\=" stands for a
// literal "=" in a path. The image
// is written by the threaded job, with progress; it appears under its name
// only once complete.
#include "cli/commands.h"
#include "cli/compilation_args.h"
#include "cli/job_runner.h"
#include "image/zbCDBC.h"
#include "platform/find_files.h"

#include <iostream>
#include <memory>
#include <string>

namespace velloran::cli {
namespace {

struct SaveIsoOptions {
  std::string output;
  CompilationArgs compilation;
};

int Run(const SaveIsoOptions& o, const GlobalOptions& globals) {
  const std::string prefix = "velloran save-iso: ";
  platform::TSearchRec rec;
  if (platform::StatPath(o.output, rec) && (rec.Attr & platform::faDirectory)) {
    std::cerr << prefix << "'" << o.output << "' is a folder, not an image file name\n";
    return kExitUsage;
  }
  image::TZCDBurner burner;
  burner.DoDebug = globals.debug;
  burner.OnDebugMessage = [&globals](drive::TObject*, const std::string& text, std::uint8_t mType) {
    if (globals.debug || mType == 3 || mType == 4) std::cerr << text << "\n";
  };
  if (int rc = FillCompilation(burner, o.compilation, globals, "save-iso"); rc != kExitOk) return rc;

  // The layout gives the size to show progress against; the job lays out
  // again (nothing changed in between).
  burner.BuildLayout(true, burner.RootDir());
  PrintNameReport(burner, o.compilation.verbose, std::cout);
  const std::int64_t total = burner.ImageSectors() * 2048;
  JobRunner runner(burner, "Saving");
  // A save that fails before its thread starts has reported through
  // OnWriteDone already; the runner sees that.
  const int rc = runner.Run([&] { return burner.SaveImageFile(o.output, false) == -1; }, total, false);
  if (rc == kExitAborted) {
    std::cerr << "Operation canceled by user\n";
    return rc;
  }
  if (rc != kExitOk) {
    std::cerr << prefix << runner.Error() << "\n";
    return rc;
  }
  std::cout << "Wrote " << o.output << ": " << burner.Layout().ImageSectors << " sectors, " << burner.FileCount()
            << " entries\n";
  return kExitOk;
}

const CommandRegistration registration([](CLI::App& app, const GlobalOptions& globals, int* exitCode) {
  auto options = std::make_shared<SaveIsoOptions>();
  CLI::App* cmd = app.add_subcommand("save-iso", "Save files and folders as an ISO 9660/Joliet image file");
  cmd->add_option("OUT", options->output, "Image file to write")->required();
  AddCompilationOptions(cmd, options->compilation);
  cmd->callback([options, &globals, exitCode] { *exitCode = Run(*options, globals); });
});

}  // namespace
}  // namespace velloran::cli
