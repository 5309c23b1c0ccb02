// velloran erase [--drive ID] [--full]: makes a rewritable disc blank again
// (a quick erase unless --full), with a progress bar.
#include "cli/commands.h"
#include "cli/drive_select.h"
#include "cli/progress.h"
#include "drive/mmc_reply.h"
#include "image/zbCDBC.h"
#include "platform/synchronizer.h"

#include <iostream>
#include <memory>
#include <string>

namespace velloran::cli {
namespace {

struct EraseOptions {
  std::string drive;
  bool full = false;
};

int RunErase(const EraseOptions& o, const GlobalOptions& globals) {
  const std::string prefix = "velloran erase: ";
  image::TZCDBurner b;
  b.DoDebug = globals.debug;
  b.OnDebugMessage = [&globals](drive::TObject*, const std::string& text, std::uint8_t) {
    if (globals.debug) std::cerr << text << "\n";
  };
  if (int rc = SelectDrive(b, globals, o.drive, "erase"); rc != kExitOk) return rc;
  if (int rc = RefuseIfHeld(b, "erase"); rc != kExitOk) return rc;
  drive::TDisc disc{};
  if (!WaitForDisc(b) || !b.GetDiscInfo(disc) || !disc.ready) {
    std::cerr << prefix << "no disc in the drive (or the drive is not ready)\n";
    return kExitFailure;
  }
  const std::uint8_t kind = b.GetDiscKind();
  if (!b.IsErasable()) {
    std::cerr << prefix << "the disc in the drive (" << drive::mmc::DiscKindNames()[kind & 15]
              << ") is not rewritable: it cannot be erased\n";
    return kExitFailure;
  }

  platform::QueueSynchronizer sync;
  b.SetSynchronizer(&sync);
  bool done = false, withError = false;
  b.OnEraseDone = [&](drive::TObject*, bool error) {
    done = true;
    withError = error;
  };
  ProgressDisplay progress(o.full ? "Erasing (full)" : "Erasing");
  const bool started = b.Erase(o.full ? 0 : 1);
  while (started && !done) {
    sync.WaitAndProcess(200);
    if (!done) progress.UpdatePercent(b.EraseProgress());
  }
  if (started && !withError) progress.UpdatePercent(100);
  progress.Finish();
  b.WaitForErase();
  b.SetSynchronizer(nullptr);
  if (!started && !done) {
    std::cerr << prefix << "the drive is not ready; nothing was erased\n";
    return kExitFailure;
  }
  if (withError) {
    std::cerr << prefix
              << (started ? "the drive reported an error while erasing, or the disc is not blank afterwards"
                          : "the drive refused to erase the disc");
    if (!b.LastError.empty()) std::cerr << " (" << b.LastError << ")";
    std::cerr << "\n";
    return kExitFailure;
  }
  std::cout << "Disc erased successfully.\n";
  return kExitOk;
}

const CommandRegistration registration([](CLI::App& app, const GlobalOptions& globals, int* exitCode) {
  auto o = std::make_shared<EraseOptions>();
  CLI::App* cmd = app.add_subcommand("erase", "Erase a rewritable disc (CD-RW, DVD-RW, DVD+RW, DVD-RAM)");
  cmd->add_option("--drive", o->drive, "Drive: a device line, its A:T:L beginning, or a letter (default: the first)");
  cmd->add_flag("--full", o->full, "Blank the whole disc (slow) instead of a quick erase");
  cmd->callback([o, &globals, exitCode] { *exitCode = RunErase(*o, globals); });
});

}  // namespace
}  // namespace velloran::cli
