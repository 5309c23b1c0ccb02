#include "platform/find_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace velloran::platform {

namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool Match(std::string_view name, std::string_view mask) {
  // Iterative wildcard match with one back-track point.
  std::size_t n = 0, m = 0, starM = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || Upper(mask[m]) == Upper(name[n]))) {
      ++n, ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      starM = m++, starN = n;
    } else if (starM != std::string_view::npos) {
      m = starM + 1, n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

// What a file's status tells besides its kind and size: times, mode, owner
// and identity.
void CopyStatus(const struct stat& st, TSearchRec& rec) {
  rec.Time = st.st_mtime;
  rec.Atime = st.st_atime;
  rec.Ctime = st.st_ctime;
  rec.Mode = st.st_mode;
  rec.Uid = st.st_uid;
  rec.Gid = st.st_gid;
  rec.Device = st.st_dev;
  rec.Inode = st.st_ino;
}

// Fills rec from st; false for the kinds of node that are never added.
bool FromStat(const struct stat& st, const std::string& name, TSearchRec& rec) {
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return false;
  rec.Name = name;
  rec.Attr = S_ISDIR(st.st_mode) ? faDirectory : faArchive;
  if (!(st.st_mode & S_IWUSR)) rec.Attr |= faReadOnly;
  if (!name.empty() && name[0] == '.') rec.Attr |= faHidden;
  rec.Size = S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : 0;
  CopyStatus(st, rec);
  return true;
}

// A link as itself: its own mode, owner and times, and its target.
bool FromLink(const struct stat& st, const std::string& full, const std::string& name, TSearchRec& rec) {
  std::string target(4096, '\0');
  const ssize_t n = ::readlink(full.c_str(), target.data(), target.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return false;
  target.resize(static_cast<std::size_t>(n));
  rec.Name = name;
  rec.Attr = faArchive | faSymLink;
  if (!name.empty() && name[0] == '.') rec.Attr |= faHidden;
  rec.Size = 0;
  CopyStatus(st, rec);
  rec.LinkTarget = std::move(target);
  return true;
}

const char* KindName(mode_t mode) {
  if (S_ISFIFO(mode)) return "FIFO";
  if (S_ISSOCK(mode)) return "socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "device node";
  return "special file";
}

std::string BaseName(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace

bool MatchesMask(std::string_view name, std::string_view mask) {
  if (mask.empty() || mask == "*.*" || mask == "*") return true;
  return Match(name, mask);
}

bool PassesAttrMask(int attr, int attrMask) {
  const int special = attr & (faHidden | faSysFile | faDirectory | faVolumeID);
  return (special & ~attrMask) == 0;
}

bool StatPath(const std::string& path, TSearchRec& out) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  return FromStat(st, BaseName(path), out);
}

bool FindFiles(const std::string& dir, std::string_view mask, int attrMask, std::vector<TSearchRec>& out,
               const SkipReporter& skipped, bool keepLinks) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.empty() ? "." : dir.c_str()), ::closedir);
  if (!d) return false;
  std::string prefix = dir;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  const std::size_t first = out.size();
  while (dirent* e = ::readdir(d.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (!MatchesMask(name, mask)) continue;
    struct stat st {};
    const std::string full = prefix + name;
    if (keepLinks && ::lstat(full.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      TSearchRec rec;
      if (!FromLink(st, full, name, rec)) {
        if (skipped) skipped(full, "link that cannot be read");
        continue;
      }
      if (PassesAttrMask(rec.Attr, attrMask)) out.push_back(std::move(rec));
      continue;
    }
    if (::stat(full.c_str(), &st) != 0) {
      if (skipped) skipped(full, "cannot be examined (broken link?)");
      continue;
    }
    TSearchRec rec;
    if (!FromStat(st, name, rec)) {
      if (skipped) skipped(full, KindName(st.st_mode));
      continue;
    }
    if (PassesAttrMask(rec.Attr, attrMask)) out.push_back(std::move(rec));
  }
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(),
            [](const TSearchRec& a, const TSearchRec& b) { return a.Name < b.Name; });
  return true;
}

int TFileSearch::FindFirst(const std::string& path, int attrMask, TSearchRec& rec, const SkipReporter& skipped) {
  entries_.clear();
  next_ = 0;
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string mask = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!FindFiles(dir, mask, attrMask, entries_, skipped)) return 1;
  return FindNext(rec);
}

int TFileSearch::FindNext(TSearchRec& rec) {
  if (next_ >= entries_.size()) return 1;
  rec = std::move(entries_[next_++]);
  return 0;
}

}  // namespace velloran::platform
