#include "cli/compilation_args.h"

#include "platform/find_files.h"

#include <iostream>

namespace velloran::cli {
namespace {

struct Graft {
  std::string dest;  // empty: the disc's root, keeping the source's own name for a file
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

}  // namespace

void AddCompilationOptions(CLI::App* cmd, CompilationArgs& args) {
  cmd->add_option("PATH", args.paths, "Files or folders to record; DEST=SRC places SRC at DEST")
      ->required()
      ->expected(1, -1);
  cmd->add_option("--volume", args.volume, "Volume label");
  cmd->add_option("--boot", args.boot, "El Torito boot image (a diskette image gives diskette emulation)");
  cmd->add_flag("--no-joliet", args.noJoliet, "Record ISO 9660 names only");
}

int FillCompilation(image::TZCDBurner& burner, const CompilationArgs& o, const GlobalOptions& globals,
                    const std::string& command) {
  const std::string prefix = "velloran " + command + ": ";
  bool limitReached = false;
  auto previous = burner.OnDebugMessage;
  burner.OnDebugMessage = [&, previous](drive::TObject* sender, const std::string& text, std::uint8_t mType) {
    if (mType == 3) limitReached = true;
    if (previous)
      previous(sender, text, mType);
    else if (globals.debug || mType == 3 || mType == 4)
      std::cerr << text << "\n";
  };
  // Memory grows with the tree, not with these limits: the command line
  // allows more than the desktop application's new compilation (600,000
  // files in 20,000 folders); path tables number folders in 16 bits.
  burner.ResetCompilation(2000000, 65535);
  burner.IdVolume = o.volume;
  burner.JolietFileSystem = !o.noJoliet;

  int result = kExitOk;
  platform::TSearchRec rec;
  if (!o.boot.empty()) {
    if (!platform::StatPath(o.boot, rec) || (rec.Attr & platform::faDirectory) || rec.Size == 0) {
      std::cerr << prefix << "boot image '" << o.boot << "' is missing, empty or not a regular file\n";
      result = kExitUsage;
    } else {
      burner.Bootable = true;
      burner.BootImageFile = o.boot;
    }
  }
  for (std::size_t i = 0; result == kExitOk && i < o.paths.size(); ++i) {
    const Graft g = ParseGraft(o.paths[i]);
    if (g.source.empty() || !platform::StatPath(g.source, rec)) {
      std::cerr << prefix << "cannot find '" << g.source << "' (or it is not a file or folder)\n";
      result = kExitUsage;
      break;
    }
    if (rec.Attr & platform::faDirectory) {
      image::TDEntry* dest = burner.ForceDirs(g.dest.empty() ? "/" : g.dest);
      if (!dest || (burner.AddFolder(dest, g.source, false, false, true, platform::faAnyFile, "*.*") == 0 &&
                    limitReached)) {
        std::cerr << prefix << "could not add folder '" << g.source << "'\n";
        result = kExitFailure;
      }
    } else {
      const bool intoDir = g.dest.empty() || g.dest.back() == '/';
      image::TDEntry* dest = burner.ForceDirs(intoDir ? (g.dest.empty() ? "/" : g.dest) : DirName(g.dest));
      if (!dest || burner.Tree().AddFileAs(dest, g.source, intoDir ? BaseName(g.source) : BaseName(g.dest)) != 1) {
        std::cerr << prefix << "could not add file '" << g.source << "'\n";
        result = kExitFailure;
      }
    }
    if (result == kExitOk && limitReached) {
      std::cerr << prefix << "the compilation is full; nothing was recorded\n";
      result = kExitFailure;
    }
  }
  burner.OnDebugMessage = previous;
  return result;
}

}  // namespace velloran::cli
