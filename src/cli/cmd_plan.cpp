// velloran plan [--drive ID] [--import last|N] [--volume LABEL] [--boot IMAGE] [--no-joliet] PATH|DEST=SRC...
//
// Lays the compilation out as `burn` would and writes nothing: prints the
// sectors the session needs, whether it fits the disc in the drive (when
// there is one), and every name the disc shows otherwise than its source,
// with the reason, so a compilation can be checked before a disc is spent.
// Exit status 1 when a disc is in the drive and the session cannot go on it.
#include "cli/commands.h"
#include "cli/compilation_args.h"
#include "cli/drive_select.h"
#include "drive/mmc_reply.h"
#include "image/iso_names.h"

#include <iostream>
#include <memory>

namespace velloran::cli {
namespace {

struct PlanOptions {
  std::string drive;
  std::string import;
  CompilationArgs compilation;
};

std::string IsoKey(std::string name) {
  while (name.size() > 1 && name.back() == '.') name.pop_back();
  return name;
}

std::string Megabytes(std::int64_t sectors) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(sectors) * 2048.0 / 1048576.0);
  return buf;
}

// Every entry whose name on the disc differs from its source, in the order
// the entries were added.
void PrintNames(const image::TZCDBurner& b, std::ostream& out) {
  const image::Compilation& tree = b.Tree();
  std::vector<std::string> lines;
  for (const auto& f : tree.Files()) {
    for (const image::NameSpace space : {image::NameSpace::Joliet, image::NameSpace::Iso})
      if (const image::TNameChange* c = tree.NameChangeOf(f.get(), space))
        lines.push_back(ForTerminal(image::DescribeNameChange(tree, *c)));
    // ISO 9660 names are upper case by definition; a name that is more
    // than the upper-case form of its source is an 8.3 name.
    std::string given = tree.GivenName(f.get());
    if (!tree.NameChangeOf(f.get(), image::NameSpace::Iso) &&
        IsoKey(f->IsoName) != IsoKey(image::Compilation::UpperAscii(given))) {
      std::string folder = tree.DisplayPath(f->Parent);
      if (folder != "/") folder += "/";
      // As readers show them: a name without an extension keeps no dot.
      std::string iso = f->IsoName;
      while (given.size() > 1 && given.back() == '.') given.pop_back();
      while (iso.size() > 1 && iso.back() == '.') iso.pop_back();
      lines.push_back(ForTerminal(folder + given + " -> " + iso + " (ISO 9660: 8.3 name)"));
    }
  }
  if (lines.empty()) {
    out << "Every name on the disc is the name of its source.\n";
    return;
  }
  out << lines.size() << (lines.size() == 1 ? " name differs from its source:\n" : " names differ from their sources:\n");
  for (const auto& l : lines) out << "  " << l << "\n";
}

int Run(const PlanOptions& o, const GlobalOptions& globals) {
  const std::string prefix = "velloran plan: ";
  image::TZCDBurner b;
  b.DoDebug = globals.debug;
  b.OnDebugMessage = [&globals](drive::TObject*, const std::string& text, std::uint8_t mType) {
    if (globals.debug || mType == 3 || mType == 4) std::cerr << text << "\n";
  };
  // The drive named, or else the first there is; none is fine.
  bool haveDrive = false;
  if (!o.drive.empty()) {
    if (int rc = SelectDrive(b, globals, o.drive, "plan"); rc != kExitOk) return rc;
    haveDrive = true;
  } else if (b.InitializeASPI(true, globals.aspiLibrary) && !b.Devices.empty()) {
    b.SetDevice(b.Devices.front());
    haveDrive = !b.DeviceId.empty();
  }
  if (int rc = FillCompilation(b, o.compilation, globals, "plan"); rc != kExitOk) return rc;

  drive::TDisc disc{};
  const bool discReady = haveDrive && b.GetDiscInfo(disc) && disc.ready;
  if (!o.import.empty()) {
    const int session = o.import == "last" ? 255 : std::atoi(o.import.c_str());
    if (session < 1 || session > 255) {
      std::cerr << prefix << "cannot read the session '" << o.import << "' (give last or a number from 1)\n";
      return kExitUsage;
    }
    if (!discReady || b.GetSessionCount() == 0 ||
        !b.ImportSession(static_cast<std::uint8_t>(session), b.RootDir())) {
      std::cerr << prefix << "no session to import from the disc in the drive\n";
      return kExitFailure;
    }
  }
  b.RequestNextWritableAddress = discReady;
  b.BuildLayout(!discReady, b.RootDir());
  const image::TLayout& L = b.Layout();
  const std::int64_t sectors = b.ImageSectors();
  std::cout << "The session needs " << sectors << " sectors (" << Megabytes(sectors) << "): "
            << L.MetadataEnd - L.StartAddress + L.PaddingSectors << " for the file system";
  if (L.Bootable) std::cout << ", " << L.BootImageSectors << " for the boot image";
  std::cout << ", " << L.FileDataSectors << " for " << b.FileCount() << " files and folders.\n";

  int rc = kExitOk;
  if (!haveDrive) {
    std::cout << "No drive: whether it fits a disc is not checked.\n";
  } else if (!discReady) {
    std::cout << "No disc in the drive: whether it fits is not checked.\n";
  } else {
    const std::uint8_t kind = b.GetDiscKind();
    using namespace drive::mmc;
    const bool overwritable = kind == kKindDvdPlusRw || kind == kKindDvdRam || kind == kKindDvdRwRestricted;
    const std::string medium = DiscKindNames()[kind & 15];
    if (kind == kKindCdRom || kind == kKindDvdRom || kind == kKindDdcdRom || kind == kKindUnknown) {
      std::cout << "The disc in the drive (" << medium << ") is not writable.\n";
      rc = kExitFailure;
    } else if (!overwritable && disc.discStatus == 2) {
      std::cout << "The disc in the drive (" << medium << ") is closed: nothing more can be written to it.\n";
      rc = kExitFailure;
    } else {
      const std::uint32_t free = b.FreeBlocks();
      const bool fits = free == 0 || sectors <= free;
      std::cout << "The disc in the drive (" << medium << ") has " << free << " sectors (" << Megabytes(free)
                << ") free: the session " << (fits ? "fits" : "does not fit") << ".\n";
      if (!fits) rc = kExitFailure;
    }
  }
  PrintNames(b, std::cout);
  PrintSkipped(b, true, std::cout);
  return rc;
}

const CommandRegistration registration([](CLI::App& app, const GlobalOptions& globals, int* exitCode) {
  auto o = std::make_shared<PlanOptions>();
  CLI::App* cmd = app.add_subcommand(
      "plan", "Lay out files and folders without writing: the space needed, whether it fits, the names that change");
  cmd->add_option("--drive", o->drive, "Drive whose disc to check (default: the first, if there is one)");
  cmd->add_option("--import", o->import, "Lay out as an append to session N (or the last) of the disc");
  AddCompilationOptions(cmd, o->compilation);
  cmd->callback([o, &globals, exitCode] { *exitCode = Run(*o, globals); });
});

}  // namespace
}  // namespace velloran::cli
