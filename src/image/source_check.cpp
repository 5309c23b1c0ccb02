#include "image/source_check.h"

#include "drive/zbConst.h"
#include "image/image_messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace velloran::image {

namespace {

std::string FormatPath(const char* format, const std::string& path) {
  std::vector<char> buf(std::strlen(format) + path.size() + 1);
  std::snprintf(buf.data(), buf.size(), format, path.c_str());
  return buf.data();
}

TSourceStamp StampFrom(const struct stat& st) {
  return TSourceStamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                      static_cast<std::int64_t>(st.st_size),
                      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// "" when the file is fine.
std::string Check(const TFEntry& f, TSourceStamp& stamp) {
  // O_NONBLOCK: a source replaced by a pipe must not hang the check.
  const std::string path = f.SourcePath();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return FormatPath(drive::msg::CANT_OPEN_FILE, path);
  struct stat st {};
  const bool statted = ::fstat(fd, &st) == 0;
  ::close(fd);
  if (!statted) return FormatPath(msg::ERROR_READING_FILE, path);
  if (!S_ISREG(st.st_mode)) return FormatPath(msg::NOT_A_REGULAR_FILE, path);
  if (st.st_size < f.Size) return FormatPath(msg::FILE_CHANGED_SIZE, path);
  if (st.st_size > f.Size) return FormatPath(msg::FILE_GREW, path);
  stamp = StampFrom(st);
  return {};
}

}  // namespace

std::vector<std::string> CheckSourceFiles(const Compilation& compilation, TSourceStamps* stamps) {
  std::vector<std::string> failures;
  for (const auto& f : compilation.Files()) {
    if (f->IsDirectory() || f->Imported || f->SourcePath().empty()) continue;
    TSourceStamp stamp;
    std::string failure = Check(*f, stamp);
    if (!failure.empty())
      failures.push_back(std::move(failure));
    else if (stamps)
      (*stamps)[f.get()] = stamp;
  }
  return failures;
}

bool StampOf(const std::string& path, TSourceStamp& out) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  out = StampFrom(st);
  return true;
}

}  // namespace velloran::image
