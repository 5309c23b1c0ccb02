#include "platform/drive_use.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>

namespace velloran::platform {
namespace {

// Splits one mountinfo line at blanks (fields never contain a raw blank:
// the kernel escapes it).
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

bool ParseUnsigned(std::string_view text, unsigned& out) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

// "MAJOR:MINOR" of field 3.
bool ParseDeviceNumber(std::string_view text, unsigned& major, unsigned& minor) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  return ParseUnsigned(text.substr(0, colon), major) && ParseUnsigned(text.substr(colon + 1), minor);
}

bool IsDecimal(const char* name) {
  if (!*name) return false;
  for (const char* p = name; *p; ++p)
    if (*p < '0' || *p > '9') return false;
  return true;
}

// A process sets its own command name: only printable ASCII is shown.
std::string PrintableName(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  return text;
}

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text;
  char buf[4096];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    text.append(buf, static_cast<std::size_t>(in.gcount()));
    if (text.size() > (16u << 20)) break;  // no mount table is that large
  }
  return text;
}

struct Identity {
  bool device = false;  // block or character device: match by device number
  mode_t type = 0;
  dev_t rdev = 0;
  dev_t dev = 0;
  ino_t ino = 0;
};

bool SameFile(const Identity& want, const struct stat& st) {
  if (want.device) return (st.st_mode & S_IFMT) == want.type && st.st_rdev == want.rdev;
  return st.st_dev == want.dev && st.st_ino == want.ino;
}

std::vector<DriveHolder> FindHolders(const Identity& want, const DriveUseOptions& o, int self) {
  std::vector<DriveHolder> holders;
  DIR* proc = ::opendir(o.procRoot.c_str());
  if (!proc) return holders;
  while (const dirent* e = ::readdir(proc)) {
    if (!IsDecimal(e->d_name)) continue;
    const int pid = std::atoi(e->d_name);
    if (pid == self) continue;
    const std::string base = o.procRoot + "/" + e->d_name;
    // Another user's descriptors are closed to us (EACCES): passed over.
    DIR* fds = ::opendir((base + "/fd").c_str());
    if (!fds) continue;
    bool holds = false;
    while (const dirent* f = ::readdir(fds)) {
      if (!IsDecimal(f->d_name)) continue;
      struct stat st {};
      // stat follows the descriptor's link to the open file itself.
      if (::stat((base + "/fd/" + f->d_name).c_str(), &st) == 0 && SameFile(want, st)) {
        holds = true;
        break;
      }
    }
    ::closedir(fds);
    if (holds) {
      std::string name = PrintableName(ReadSmallFile(base + "/comm"));
      holders.push_back({pid, name.empty() ? std::string("unknown") : name});
    }
  }
  ::closedir(proc);
  std::sort(holders.begin(), holders.end(), [](const DriveHolder& a, const DriveHolder& b) { return a.pid < b.pid; });
  return holders;
}

std::string JoinWithAnd(const std::vector<std::string>& parts) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += i + 1 == parts.size() ? " and " : ", ";
    out += parts[i];
  }
  return out;
}

std::string Capitalised(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return text;
}

}  // namespace

std::string DecodeMountField(std::string_view field) {
  auto octal = [](char c, char highest) { return c >= '0' && c <= highest; };
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1], '3') && octal(field[i + 2], '7') &&
        octal(field[i + 3], '7')) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
      continue;
    }
    out += field[i];
  }
  return out;
}

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - FSTYPE SOURCE SUPER-OPTIONS
    const auto f = Fields(line);
    if (f.size() < 10) continue;
    MountEntry m;
    if (!ParseDeviceNumber(f[2], m.major, m.minor)) continue;
    std::size_t dash = 6;
    while (dash < f.size() && f[dash] != "-") ++dash;
    if (dash + 2 >= f.size()) continue;
    m.mountPoint = DecodeMountField(f[4]);
    m.fsType = DecodeMountField(f[dash + 1]);
    m.source = DecodeMountField(f[dash + 2]);
    out.push_back(std::move(m));
  }
  return out;
}

DriveUse FindDriveUse(const std::string& node, const DriveUseOptions& o) {
  DriveUse use;
  struct stat st {};
  if (node.empty() || ::stat(node.c_str(), &st) != 0) return use;
  Identity want;
  want.type = st.st_mode & S_IFMT;
  want.device = S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode);
  want.rdev = st.st_rdev;
  want.dev = st.st_dev;
  want.ino = st.st_ino;
  const int self = o.selfPid ? o.selfPid : static_cast<int>(::getpid());

  if (S_ISBLK(st.st_mode)) {
    for (const MountEntry& m : ParseMountInfo(ReadSmallFile(o.procRoot + "/self/mountinfo")))
      if (m.major == ::major(st.st_rdev) && m.minor == ::minor(st.st_rdev) &&
          std::find(use.mountPoints.begin(), use.mountPoints.end(), m.mountPoint) == use.mountPoints.end())
        use.mountPoints.push_back(m.mountPoint);
  }
  use.holders = FindHolders(want, o, self);

  if (o.probeExclusive && S_ISBLK(st.st_mode) && use.mountPoints.empty()) {
    // A block device opened with O_EXCL fails with EBUSY while anyone holds
    // an exclusive claim on it (a mount, or a burner that opened it so).
    const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_EXCL | O_CLOEXEC);
    if (fd >= 0)
      ::close(fd);
    else if (errno == EBUSY)
      use.claimedExclusively = true;
  }
  return use;
}

std::string ShellWord(const std::string& word) {
  const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("/._-+,:@%=").find(c) != std::string_view::npos;
  });
  if (plain) return word;
  std::string out = "'";
  for (char c : word) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

std::string DescribeDriveUse(const DriveUse& use, const std::string& driveName) {
  if (!use.mountPoints.empty()) {
    std::vector<std::string> shown, words;
    for (const auto& m : use.mountPoints) {
      shown.push_back(m);
      words.push_back(ShellWord(m));
    }
    std::string umount = "umount";
    for (const auto& w : words) umount += " " + w;
    return "The disc in " + driveName + " is mounted at " + JoinWithAnd(shown) + ": unmount it first (" + umount + ")";
  }
  if (!use.holders.empty()) {
    std::vector<std::string> parts;
    for (const auto& h : use.holders) parts.push_back("process " + std::to_string(h.pid) + " (" + h.name + ")");
    return Capitalised(driveName) + " is in use by " + JoinWithAnd(parts);
  }
  if (use.claimedExclusively) return Capitalised(driveName) + " is in use by another program, which holds it exclusively";
  return {};
}

}  // namespace velloran::platform
