#include "cli/compilation_args.h"

#include "image/iso_names.h"
#include "platform/find_files.h"

#include <algorithm>
#include <map>
#include <unordered_set>

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

// The names of a destination inside the disc: "/" separates them ("\" is a
// character of a name, as on Linux), "." is the folder itself and ".." its
// parent. False when the destination climbs above the root. folder tells
// whether the destination names a folder: it ends in "/", ".", or "..", or
// is the root.
bool SplitDestination(const std::string& dest, std::vector<std::string>& names, bool& folder) {
  names.clear();
  std::string last;
  std::size_t pos = 0;
  while (pos <= dest.size()) {
    std::size_t end = dest.find('/', pos);
    if (end == std::string::npos) end = dest.size();
    last = dest.substr(pos, end - pos);
    if (last == "..") {
      if (names.empty()) return false;
      names.pop_back();
    } else if (!last.empty() && last != ".") {
      names.push_back(last);
    }
    pos = end + 1;
  }
  folder = names.empty() || last.empty() || last == "." || last == "..";
  return true;
}

}  // namespace

void AddCompilationOptions(CLI::App* cmd, CompilationArgs& args) {
  cmd->add_option("PATH", args.paths, "Files or folders to record; DEST=SRC places SRC at DEST")
      ->required()
      ->expected(1, -1);
  cmd->add_option("--volume", args.volume, "Volume label");
  cmd->add_option("--boot", args.boot, "El Torito boot image (a diskette image gives diskette emulation)");
  cmd->add_flag("--no-joliet", args.noJoliet, "Record no Joliet names (the names Windows reads)");
  cmd->add_flag("--no-rock-ridge", args.noRockRidge,
                "Record no Rock Ridge (the names, permissions, times and links Linux and macOS read)");
  cmd->add_flag("--links", args.links, "Record symbolic links as links instead of what they point to");
  cmd->add_flag("--keep-owners", args.keepOwners,
                "Record owners and permissions as they are (otherwise owner root, readable by everyone)");
  cmd->add_flag("--verbose", args.verbose, "List every name the disc shows otherwise than it was given");
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
  burner.RockRidge = !o.noRockRidge;
  burner.RockRidgeKeepOwners = o.keepOwners;
  burner.SetRockRidgeLinks(o.links);
  if (o.noRockRidge && (o.links || o.keepOwners)) {
    std::cerr << prefix << (o.links ? "--links" : "--keep-owners") << " needs Rock Ridge (leave out --no-rock-ridge)\n";
    burner.OnDebugMessage = previous;
    return kExitUsage;
  }

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
    std::vector<std::string> names;
    bool folder = true;
    if (!SplitDestination(g.dest, names, folder)) {
      std::cerr << prefix << "the destination '" << g.dest << "' lies above the disc's root folder\n";
      result = kExitUsage;
      break;
    }
    if (rec.Attr & platform::faDirectory) {
      image::TDEntry* dest = burner.Tree().ForceDirs(burner.RootDir(), names);
      if (!dest || (burner.AddFolder(dest, g.source, false, false, true, platform::faAnyFile, "*.*") == 0 &&
                    limitReached)) {
        std::cerr << prefix << "could not add folder '" << g.source << "'\n";
        result = kExitFailure;
      }
    } else {
      const std::string name = folder ? BaseName(g.source) : names.back();
      if (!folder) names.pop_back();
      image::TDEntry* dest = burner.Tree().ForceDirs(burner.RootDir(), names);
      if (!dest || burner.Tree().AddFileAs(dest, g.source, name) != 1) {
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

void PrintNameReport(const image::TZCDBurner& burner, bool verbose, std::ostream& out) {
  const image::Compilation& tree = burner.Tree();
  const auto& changes = tree.NameChanges();
  if (!changes.empty()) {
    // Entries, each counted once, and how many for each cause.
    std::unordered_set<const image::TFEntry*> entries;
    std::map<std::string, int> causes;
    for (const auto& c : changes) {
      if (!entries.insert(c.Entry).second) continue;
      // The names readers show: Joliet's when the disc has them.
      const auto* joliet = tree.NameChangeOf(c.Entry, image::NameSpace::Joliet);
      const std::uint8_t reasons = joliet ? joliet->Reasons : c.Reasons;
      if (reasons & image::kNameCaseOnly) ++causes["differing only in case from another name"];
      if (reasons & image::kNameTaken) ++causes["sharing a name with another entry"];
      if (reasons & image::kNameCharacters) ++causes["with characters the disc's names do not allow"];
      if (reasons & image::kNameUnrepresentable) ++causes["with characters Joliet cannot hold"];
      if (reasons & image::kNameTooLong) ++causes["too long"];
    }
    const std::size_t n = tree.EntriesRenamed();
    out << n << (n == 1 ? " name" : " names") << " changed for the disc:";
    if (verbose) {
      out << "\n";
      for (const auto& c : changes) out << "  " << ForTerminal(image::DescribeNameChange(tree, c)) << "\n";
    } else {
      std::string sep = " ";
      for (const auto& [cause, n] : causes) {
        out << sep << n << " " << cause;
        sep = ", ";
      }
      out << " (--verbose lists them).\n";
    }
  }
  PrintSkipped(burner, verbose, out);
}

void PrintSkipped(const image::TZCDBurner& burner, bool verbose, std::ostream& out) {
  const auto& skipped = burner.Tree().Skipped();
  if (!skipped.empty()) {
    // What is missing from the disc is always listed (a few lines unless
    // asked for all).
    const std::size_t shown = verbose ? skipped.size() : std::min<std::size_t>(skipped.size(), 10);
    out << skipped.size() << (skipped.size() == 1 ? " entry" : " entries") << " left out of the disc:\n";
    for (std::size_t i = 0; i < shown; ++i) out << "  " << ForTerminal(skipped[i].Source) << " (" << skipped[i].Why << ")\n";
    if (shown < skipped.size()) out << "  ... and " << skipped.size() - shown << " more (--verbose lists them).\n";
  }
}

std::string ForTerminal(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace velloran::cli
