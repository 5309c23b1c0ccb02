// velloran verify [--drive ID] [--session N] [--no-joliet] PATH|DEST=SRC...
// Compares a session of the disc in the drive (the newest by default) with
// files and folders on disk, given as for burn: every file is read back
// from the disc and hashed against its source, in both name spaces.
#include "cli/commands.h"
#include "cli/compilation_args.h"
#include "cli/drive_select.h"
#include "cli/job_runner.h"
#include "cli/verify_report.h"

#include <iostream>
#include <memory>

namespace velloran::cli {
namespace {

struct VerifyOptions {
  std::string drive;
  int session = 255;  // the last
  CompilationArgs compilation;
};

int RunVerify(const VerifyOptions& o, const GlobalOptions& globals) {
  const std::string prefix = "velloran verify: ";
  image::TZCDBurner b;
  b.DoDebug = globals.debug;
  b.OnDebugMessage = [&globals](drive::TObject*, const std::string& text, std::uint8_t) {
    if (globals.debug) std::cerr << text << "\n";
  };
  if (int rc = SelectDrive(b, globals, o.drive, "verify"); rc != kExitOk) return rc;
  if (int rc = FillCompilation(b, o.compilation, globals, "verify"); rc != kExitOk) return rc;
  if (b.FileCount() == 0) {
    std::cerr << prefix << "nothing to compare: the folders given are empty\n";
    return kExitUsage;
  }
  drive::TDisc disc{};
  if (!WaitForDisc(b) || !b.GetDiscInfo(disc) || !disc.ready) {
    std::cerr << prefix << "no disc in the drive (or the drive is not ready)\n";
    return kExitFailure;
  }
  b.OnVerifyDone = [](drive::TObject*, const std::vector<image::TVerifyMismatch>& mismatches) {
    PrintVerification(mismatches);
  };
  JobRunner runner(b, "Verifying");
  const int rc = runner.Run([&] { return b.VerifyDisc(static_cast<std::uint8_t>(o.session)); }, 0, false);
  if (rc == kExitAborted)
    std::cerr << "Operation canceled by user\n";
  else if (rc != kExitOk)
    std::cerr << prefix << runner.Error() << "\n";
  return rc;
}

const CommandRegistration verifyRegistration([](CLI::App& app, const GlobalOptions& globals, int* exitCode) {
  auto o = std::make_shared<VerifyOptions>();
  CLI::App* cmd = app.add_subcommand("verify", "Compare the disc in the drive with files and folders on disk");
  cmd->add_option("--drive", o->drive, "Drive: a device line, its A:T:L beginning, or a letter (default: the first)");
  cmd->add_option("--session", o->session, "The session to compare (default: the newest)")
      ->check(CLI::Range(1, 254));
  cmd->add_option("PATH", o->compilation.paths, "Files or folders the disc should hold; DEST=SRC places SRC at DEST")
      ->required()
      ->expected(1, -1);
  cmd->add_flag("--no-joliet", o->compilation.noJoliet, "The disc has ISO 9660 names only");
  cmd->callback([o, &globals, exitCode] { *exitCode = RunVerify(*o, globals); });
});

}  // namespace
}  // namespace velloran::cli
