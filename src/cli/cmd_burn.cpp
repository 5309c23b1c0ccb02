// velloran burn [--drive ID] [--speed N] [--volume LABEL] [--finalize] [--test]
//               [--boot IMAGE] [--eject] [--verify] [--import last|N | --new-session]
//               PATH|DEST=SRC...
// velloran burn-image [--drive ID] [--speed N] [--finalize] [--test] [--eject] [--verify] IMAGE
#include "cli/commands.h"
#include "cli/compilation_args.h"
#include "cli/drive_select.h"
#include "cli/job_runner.h"
#include "cli/verify_report.h"
#include "drive/mmc_reply.h"
#include "drive/zbASPI.h"
#include "recording/speed_text.h"
#include "recording/zbStreamEx.h"

#include <cmath>
#include <iostream>
#include <memory>

namespace velloran::cli {
namespace {

struct BurnOptions {
  std::string drive;
  std::string speed;
  bool finalize = false;
  bool test = false;
  bool eject = false;
  bool verify = false;
  CompilationArgs compilation;
  std::string image;
  std::string import;  // "last" or a session number: append to that session's files
  bool newSession = false;  // append without carrying the disc's files forward
};

// The session --import names: 255 for the last, 0 when unreadable.
int ParseImport(const std::string& text) {
  if (text == "last") return 255;
  try {
    std::size_t used = 0;
    const int n = std::stoi(text, &used);
    return used == text.size() && n >= 1 && n <= 254 ? n : 0;
  } catch (...) {
    return 0;
  }
}

// Enters the files of an earlier session below the new ones (files given
// on the command line win over imported ones of the same name).
int ImportEarlierSession(image::TZCDBurner& b, const std::string& which, const std::string& prefix) {
  const int session = ParseImport(which);
  if (session == 0) {
    std::cerr << prefix << "cannot read the session '" << which << "' (give last or a number from 1)\n";
    return kExitUsage;
  }
  drive::TDisc disc{};
  if (!WaitForDisc(b) || !b.GetDiscInfo(disc) || !disc.ready) {
    std::cerr << prefix << "no disc in the drive (or the drive is not ready)\n";
    return kExitFailure;
  }
  const int count = b.GetSessionCount();
  if (count == 0) {
    std::cerr << prefix << "nothing to import: the disc holds no session\n";
    return kExitFailure;
  }
  if (session != 255 && session > count) {
    std::cerr << prefix << "nothing to import: the disc holds " << count << " session" << (count == 1 ? "" : "s")
              << ", not " << session << "\n";
    return kExitFailure;
  }
  const int before = b.FileCount();
  if (!b.ImportSession(static_cast<std::uint8_t>(session), b.RootDir())) {
    std::cerr << prefix << "the session could not be imported: no file system was found in it\n";
    return kExitFailure;
  }
  std::cout << "Imported " << b.FileCount() - before << " files and folders from session "
            << b.LastImportedSession << ".\n";
  return kExitOk;
}

// Every reader (the kernel's included) shows only a disc's newest session:
// a session that does not carry the earlier files forward hides them from
// the user although they are still on the disc. So an append keeps the last
// session's files unless --new-session asks for a session of its own.
int KeepFilesOnDisc(image::TZCDBurner& b, const std::string& prefix) {
  if (!WaitForDisc(b)) {
    // No disc holds no files (the burn then says that there is no disc).
    if (drive::mmc::DecodeSense(b.LastSense).asc == 0x3A) return kExitOk;
    std::cerr << prefix << "the drive is not ready, so the files already on the disc cannot be read and the new "
              << "session would hide them; try again, or give --new-session to record the new files alone\n";
    return kExitFailure;
  }
  if (!b.DiscHoldsFiles()) return kExitOk;
  if (!b.ImportSession(255, b.RootDir())) {
    std::cerr << prefix << "the files already on the disc could not be read, so the new session would hide them; "
              << "give --new-session to record a session that shows only the new files\n";
    return kExitFailure;
  }
  const int files = b.ImportedFileCount();
  std::cout << "Keeping the " << recording::GroupThousands(static_cast<std::uint32_t>(files))
            << (files == 1 ? " file" : " files") << " already on the disc (session " << b.LastImportedSession
            << ").\n";
  return kExitOk;
}

// "16x" (in the medium's own steps) or kB/s; empty or "max" for the drive's
// maximum. -1 when unreadable.
int ParseSpeed(const std::string& text, bool dvd) {
  if (text.empty() || text == "max") return 0;
  try {
    std::size_t used = 0;
    double value = std::stod(text, &used);
    if (value < 0) return -1;
    std::string rest = text.substr(used);
    if (rest == "x" || rest == "X") return static_cast<int>(std::lround(value * (dvd ? 1385.0 : 176.4)));
    if (!rest.empty()) return -1;
    return value > 65535 ? -1 : static_cast<int>(value);
  } catch (...) {
    return -1;
  }
}

// Checks that the medium takes the recording; prints why not.
int CheckMedium(image::TZCDBurner& b, std::int64_t sectors, const std::string& prefix) {
  drive::TDisc disc{};
  if (!WaitForDisc(b) || !b.GetDiscInfo(disc) || !disc.ready) {
    std::cerr << prefix << "no disc in the drive (or the drive is not ready)";
    if (!b.LastError.empty()) std::cerr << ": " << b.LastError;
    std::cerr << "\n";
    return kExitFailure;
  }
  const std::uint8_t kind = b.GetDiscKind();
  using namespace drive::mmc;
  if (kind == kKindCdRom || kind == kKindDvdRom || kind == kKindDdcdRom || kind == kKindUnknown) {
    std::cerr << prefix << "the disc in the drive (" << DiscKindNames()[kind & 15] << ") is not writable\n";
    return kExitFailure;
  }
  const bool overwritable = kind == kKindDvdPlusRw || kind == kKindDvdRam || kind == kKindDvdRwRestricted;
  if (!overwritable && disc.discStatus == 2) {
    std::cerr << prefix << "the disc is closed (finalized): nothing more can be written to it\n";
    return kExitFailure;
  }
  const std::uint32_t free = b.FreeBlocks();
  if (sectors > 0 && free > 0 && sectors > free) {
    std::cerr << prefix << "the recording needs " << sectors << " blocks (" << sectors * 2048 / 1048576
              << " MB) but the disc has " << free << " blocks (" << std::uint64_t(free) * 2048 / 1048576
              << " MB) free\n";
    return kExitFailure;
  }
  return kExitOk;
}

// After a recording, Linux keeps the size it read while the disc was blank
// until it sees the medium change, so mounting the new disc fails: the tray
// is opened and closed where the drive moves it itself, or the user is told
// to do it. Only a drive the kernel knows is concerned, not the virtual
// recorder reached through its own library.
void ReloadAfterRecording(image::TZCDBurner& b, const std::string& prefix) {
  if (drive::TransportName() != drive::kPassThroughTransportName) return;
  switch (b.ReloadMedium(60000)) {
    case drive::TSCSIDevice::TReload::Reloaded: break;
    case drive::TSCSIDevice::TReload::NotPossible:
      std::cout << prefix << "take the disc out and put it back before reading it: the system still sees it "
                             "as it was before the burn\n";
      break;
    case drive::TSCSIDevice::TReload::TrayLeftOpen:
      std::cout << prefix << "the tray was opened so that the system reads the disc anew: close it before reading "
                             "the disc\n";
      break;
  }
}

int Report(int rc, const std::string& error, const std::string& prefix, const char* success) {
  if (rc == kExitOk)
    std::cout << success << "\n";
  else if (rc == kExitAborted)
    std::cerr << "Operation canceled by user\n";
  else {
    // A job may list several files, one per line.
    std::string lines = error;
    for (std::size_t at = lines.find('\n'); at != std::string::npos; at = lines.find('\n', at + 1 + prefix.size()))
      lines.insert(at + 1, prefix);
    std::cerr << prefix << lines << "\n";
  }
  return rc;
}

void Configure(image::TZCDBurner& b, const BurnOptions& o, const GlobalOptions& globals) {
  b.DoDebug = globals.debug;
  b.OnDebugMessage = [&globals](drive::TObject*, const std::string& text, std::uint8_t mType) {
    if (globals.debug || mType == 3 || mType == 4) std::cerr << text << "\n";
  };
  b.FinalizeDisc = o.finalize;
  b.TestWrite = o.test;
  b.Verify = o.verify;
  b.OnVerifyDone = [](drive::TObject*, const std::vector<image::TVerifyMismatch>& mismatches) {
    PrintVerification(mismatches);
  };
}

bool ApplySpeed(image::TZCDBurner& b, const BurnOptions& o, const std::string& prefix) {
  const int speed = ParseSpeed(o.speed, b.GetDiscKind() >= 4);
  if (speed < 0) {
    std::cerr << prefix << "cannot read the speed '" << o.speed << "' (give kB/s, or steps such as 16x)\n";
    return false;
  }
  b.SetWriteSpeed(static_cast<std::uint16_t>(speed));
  return true;
}

int RunBurn(const BurnOptions& o, const GlobalOptions& globals) {
  const std::string prefix = "velloran burn: ";
  image::TZCDBurner b;
  Configure(b, o, globals);
  if (int rc = SelectDrive(b, globals, o.drive, "burn"); rc != kExitOk) return rc;
  if (int rc = RefuseIfHeld(b, "burn"); rc != kExitOk) return rc;
  if (int rc = FillCompilation(b, o.compilation, globals, "burn"); rc != kExitOk) return rc;
  if (b.FileCount() == 0) {
    std::cerr << prefix << "nothing to burn: the folders given are empty\n";
    return kExitUsage;
  }
  if (!o.import.empty()) {
    if (int rc = ImportEarlierSession(b, o.import, prefix); rc != kExitOk) return rc;
  } else if (!o.newSession) {
    if (int rc = KeepFilesOnDisc(b, prefix); rc != kExitOk) return rc;
  }
  // Lay the session out once against the disc to check that it fits before
  // a write-once disc is touched; the job lays it out again.
  b.RequestNextWritableAddress = true;
  b.BuildLayout(false, b.RootDir());
  b.RequestNextWritableAddress = false;
  PrintNameReport(b, o.compilation.verbose, std::cout);
  if (int rc = CheckMedium(b, b.ImageSectors(), prefix); rc != kExitOk) return rc;
  if (!ApplySpeed(b, o, prefix)) return kExitUsage;
  JobRunner runner(b, o.test ? "Test burn" : "Burning");
  const std::int64_t total = b.ImageSectors() * 2048;
  int rc = runner.Run([&] { return b.BurnCompilation(); }, total, true);
  if (rc == kExitOk && o.eject) b.StartStopUnit(true);
  else if (rc == kExitOk && !o.test) ReloadAfterRecording(b, prefix);
  return Report(rc, runner.Error(), prefix,
                o.test ? "Test burn done successfully (nothing was recorded)." : "Operation process done successfully.");
}

int RunBurnImage(const BurnOptions& o, const GlobalOptions& globals) {
  const std::string prefix = "velloran burn-image: ";
  std::int64_t size = 0;
  try {
    recording::TFileStreamEx stream(o.image, recording::fmOpenRead | recording::fmShareDenyNone);
    size = stream.Size();
  } catch (const recording::EOSError& e) {
    std::cerr << prefix << "cannot open the image '" << o.image << "': " << e.what() << "\n";
    return kExitUsage;
  }
  if (size <= 0) {
    std::cerr << prefix << "the image '" << o.image << "' is empty\n";
    return kExitUsage;
  }
  image::TZCDBurner b;
  Configure(b, o, globals);
  if (int rc = SelectDrive(b, globals, o.drive, "burn-image"); rc != kExitOk) return rc;
  if (int rc = RefuseIfHeld(b, "burn-image"); rc != kExitOk) return rc;
  const std::int64_t sectors = (size + 2047) / 2048;
  if (int rc = CheckMedium(b, sectors, prefix); rc != kExitOk) return rc;
  // An image starts at address 0: the disc must be blank (or overwritable).
  const std::uint8_t kind = b.GetDiscKind();
  using namespace drive::mmc;
  const bool overwritable = kind == kKindDvdPlusRw || kind == kKindDvdRam || kind == kKindDvdRwRestricted;
  if (!overwritable && b.GetDiscStatus() != 0) {
    std::cerr << prefix << "an image can only be burned to a blank disc; this one already holds data\n";
    return kExitFailure;
  }
  if (!ApplySpeed(b, o, prefix)) return kExitUsage;
  JobRunner runner(b, o.test ? "Test burn" : "Burning");
  int rc = runner.Run([&] { return b.BurnImageFile(o.image); }, sectors * 2048, true);
  if (rc == kExitOk && o.eject) b.StartStopUnit(true);
  else if (rc == kExitOk && !o.test) ReloadAfterRecording(b, prefix);
  return Report(rc, runner.Error(), prefix,
                o.test ? "Test burn done successfully (nothing was recorded)." : "Operation process done successfully.");
}

void AddDiscOptions(CLI::App* cmd, BurnOptions& o) {
  cmd->add_option("--drive", o.drive, "Drive: a device line, its A:T:L beginning, or a letter (default: the first)");
  cmd->add_option("--speed", o.speed, "Write speed: kB/s, or steps such as 16x (default: the drive's maximum)");
  cmd->add_flag("--finalize", o.finalize, "Close the disc: nothing can be appended afterwards");
  cmd->add_flag("--test", o.test, "Test write: the drive goes through the motions and records nothing");
  cmd->add_flag("--eject", o.eject, "Eject the disc after a successful burn");
  cmd->add_flag("--verify", o.verify,
                "Read the disc back after the burn and compare every file (an image: every block)");
}

const CommandRegistration burnRegistration([](CLI::App& app, const GlobalOptions& globals, int* exitCode) {
  auto o = std::make_shared<BurnOptions>();
  CLI::App* cmd = app.add_subcommand("burn", "Burn files and folders to a CD/DVD (a new session)");
  AddDiscOptions(cmd, *o);
  CLI::Option* import = cmd->add_option(
      "--import", o->import,
      "Append to a multi-session disc: keep the files of session N (or the last) in the new session "
      "(default: the last session's)");
  cmd->add_flag("--new-session", o->newSession,
                "Append a session that shows only the new files (the earlier ones stay on the disc, unseen)")
      ->excludes(import);
  AddCompilationOptions(cmd, o->compilation);
  cmd->callback([o, &globals, exitCode] { *exitCode = RunBurn(*o, globals); });
});

const CommandRegistration imageRegistration([](CLI::App& app, const GlobalOptions& globals, int* exitCode) {
  auto o = std::make_shared<BurnOptions>();
  CLI::App* cmd = app.add_subcommand("burn-image", "Burn an ISO image file to a blank CD/DVD");
  AddDiscOptions(cmd, *o);
  cmd->add_option("IMAGE", o->image, "The image file")->required();
  cmd->callback([o, &globals, exitCode] { *exitCode = RunBurnImage(*o, globals); });
});

}  // namespace
}  // namespace velloran::cli
