// Directory search with the attribute model of the compilation: attributes
// are made from stat() since Linux has none of its own.
//   16 directory, 1 read-only (no write permission for the owner),
//   2 hidden (name begins with "."), 32 archive (every regular file).
// Symbolic links are followed, unless the caller asks for them as links.
// Sockets, FIFOs and device nodes are never returned (reading a FIFO would
// block a recording for ever); each one met is reported through the skip
// callback.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velloran::platform {

enum FileAttr : int {
  faReadOnly = 1,
  faHidden = 2,
  faSysFile = 4,
  faVolumeID = 8,
  faDirectory = 16,
  faArchive = 32,
  faAnyFile = 63,
  faSymLink = 0x400,  // a symbolic link kept as a link (its target in LinkTarget)
};

struct TSearchRec {
  std::string Name;     // name within the searched directory
  int Attr = 0;
  std::int64_t Size = 0;
  std::time_t Time = 0;  // last write, Unix time
  std::uint64_t Device = 0, Inode = 0;  // identity of the target (loop detection)
  // What POSIX keeps beside: mode (file type and permissions), owner,
  // last access and last status change.
  std::uint32_t Mode = 0, Uid = 0, Gid = 0;
  std::time_t Atime = 0, Ctime = 0;
  std::string LinkTarget;  // a link kept as a link: what it points to
};

// Attributes and size of one path (links followed). False when it does
// not exist, cannot be examined, or is a socket, FIFO or device node.
bool StatPath(const std::string& path, TSearchRec& out);

// True when name matches a "*"/"?" mask, ASCII case-insensitively; "*.*"
// and "*" match every name (with or without a dot).
bool MatchesMask(std::string_view name, std::string_view mask);

// Windows-style filter: hidden and directory entries are returned only
// when attrMask holds those bits; others always.
bool PassesAttrMask(int attr, int attrMask);

using SkipReporter = std::function<void(const std::string& path, const char* why)>;

// The entries of one directory matching mask and attrMask, sorted by name
// (a stable order, unlike readdir), without "." and "..". Returns false when
// the directory cannot be opened (nothing is added then).
// keepLinks: a symbolic link comes back as itself (faSymLink, size 0, its
// target read) instead of as what it points to.
bool FindFiles(const std::string& dir, std::string_view mask, int attrMask, std::vector<TSearchRec>& out,
               const SkipReporter& skipped = nullptr, bool keepLinks = false);

// FindFirst/FindNext in the familiar shape over FindFiles' result.
class TFileSearch {
 public:
  // 0 when an entry was found, non-zero otherwise; path is "dir/mask".
  int FindFirst(const std::string& path, int attrMask, TSearchRec& rec, const SkipReporter& skipped = nullptr);
  int FindNext(TSearchRec& rec);

 private:
  std::vector<TSearchRec> entries_;
  std::size_t next_ = 0;
};

}  // namespace velloran::platform
