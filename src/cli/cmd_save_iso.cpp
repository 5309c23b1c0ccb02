// velloran save-iso OUT.iso [--volume LABEL] [--boot IMAGE] [--no-joliet] PATH...
//
// Each PATH is a file or folder; a folder's contents go to the image root.
// A graft point DEST=SRC places SRC at DEST inside the image: a folder's
// contents become DEST, a file is named DEST (or keeps its name inside DEST
// when DEST ends in "/"). "\=" stands for a literal "=" in a path.
#include "cli/commands.h"
#include "image/zbCDBC.h"
#include "platform/find_files.h"

#include <iostream>
#include <string>
#include <vector>

namespace velloran::cli {
namespace {

struct SaveIsoOptions {
  std::string output;
  std::string volume;
  std::string boot;
  bool noJoliet = false;
  std::vector<std::string> paths;
};

struct Graft {
  std::string dest;  // empty: the image root, keeping the source's own name for a file
  std::string source;
};

Graft ParseGraft(const std::string& arg) {
  Graft g;
  std::string cur;
  bool haveDest = false;
  for (std::size_t i = 0; i < arg.size(); ++i) {
    if (arg[i] == '\\' && i + 1 < arg.size() && arg[i + 1] == '=') {
      cur += '=';
      ++i;
    } else if (arg[i] == '=' && !haveDest) {
      g.dest = cur.empty() ? "/" : cur;
      cur.clear();
      haveDest = true;
    } else {
      cur += arg[i];
    }
  }
  g.source = cur;
  return g;
}

std::string BaseName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const auto slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

int Run(const SaveIsoOptions& o, const GlobalOptions& globals) {
  using image::TZCDBurner;
  TZCDBurner burner;
  bool limitReached = false;
  burner.DoDebug = globals.debug;
  burner.OnDebugMessage = [&](drive::TObject*, const std::string& text, std::uint8_t mType) {
    // A full compilation reports every further entry; once is enough here.
    if (mType == 3 && limitReached && !globals.debug) return;
    if (mType == 3) limitReached = true;
    if (globals.debug || mType == 3 || mType == 4) std::cerr << text << "\n";
  };
  // Beyond the application's 600,000 entries: a command line has no tree
  // view to keep responsive, and path tables allow 65,535 directories.
  burner.ResetCompilation(2000000, 65535);
  burner.IdVolume = o.volume;
  burner.JolietFileSystem = !o.noJoliet;

  platform::TSearchRec rec;
  if (!o.boot.empty()) {
    if (!platform::StatPath(o.boot, rec) || (rec.Attr & platform::faDirectory) || rec.Size == 0) {
      std::cerr << "velloran save-iso: boot image '" << o.boot << "' is missing, empty or not a regular file\n";
      return kExitUsage;
    }
    burner.Bootable = true;
    burner.BootImageFile = o.boot;
  }
  if (platform::StatPath(o.output, rec) && (rec.Attr & platform::faDirectory)) {
    std::cerr << "velloran save-iso: '" << o.output << "' is a folder, not an image file name\n";
    return kExitUsage;
  }

  for (const auto& arg : o.paths) {
    const Graft g = ParseGraft(arg);
    if (g.source.empty() || !platform::StatPath(g.source, rec)) {
      std::cerr << "velloran save-iso: cannot find '" << g.source << "' (or it is not a file or folder)\n";
      return kExitUsage;
    }
    const bool isDir = (rec.Attr & platform::faDirectory) != 0;
    if (isDir) {
      image::TDEntry* dest = burner.ForceDirs(g.dest.empty() ? "/" : g.dest);
      if (!dest || burner.AddFolder(dest, g.source, false, false, true, platform::faAnyFile, "*.*") == 0) {
        if (!dest || limitReached) {
          std::cerr << "velloran save-iso: could not add folder '" << g.source << "'\n";
          return kExitFailure;
        }
      }
    } else {
      const bool intoDir = g.dest.empty() || g.dest.back() == '/';
      image::TDEntry* dest = burner.ForceDirs(intoDir ? (g.dest.empty() ? "/" : g.dest) : DirName(g.dest));
      if (!dest || burner.Tree().AddFileAs(dest, g.source, intoDir ? BaseName(g.source) : BaseName(g.dest)) != 1) {
        std::cerr << "velloran save-iso: could not add file '" << g.source << "'\n";
        return kExitFailure;
      }
    }
    if (limitReached) {
      std::cerr << "velloran save-iso: the compilation is full; nothing was written\n";
      return kExitFailure;
    }
  }

  std::string error;
  burner.OnWriteDone = [&](drive::TObject*, const std::string& e) { error = e; };
  if (burner.SaveImageFile(o.output, true) != 1) {
    std::cerr << "velloran save-iso: " << (error.empty() ? "saving the image failed" : error) << "\n";
    return kExitFailure;
  }
  std::cout << "Wrote " << o.output << ": " << burner.Layout().ImageSectors << " sectors, " << burner.FileCount()
            << " entries\n";
  return kExitOk;
}

const CommandRegistration registration([](CLI::App& app, const GlobalOptions& globals, int* exitCode) {
  auto options = std::make_shared<SaveIsoOptions>();
  CLI::App* cmd = app.add_subcommand("save-iso", "Save files and folders as an ISO 9660/Joliet image file");
  cmd->add_option("OUT", options->output, "Image file to write")->required();
  cmd->add_option("PATH", options->paths, "Files or folders to record; DEST=SRC places SRC at DEST")
      ->required()
      ->expected(1, -1);
  cmd->add_option("--volume", options->volume, "Volume label");
  cmd->add_option("--boot", options->boot, "El Torito boot image (a diskette image gives diskette emulation)");
  cmd->add_flag("--no-joliet", options->noJoliet, "Record ISO 9660 names only");
  cmd->callback([options, &globals, exitCode] { *exitCode = Run(*options, globals); });
});

}  // namespace
}  // namespace velloran::cli
