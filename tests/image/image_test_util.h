// Helpers for the image tests: a scratch folder and a small reader of the
// directory records the metadata buffer holds.
#pragma once

#include "drive/byte_order.h"
#include "image/zbISOLib.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace velloran::image::test {

namespace fs = std::filesystem;

class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag) {
    path_ = fs::temp_directory_path() / ("vl_" + tag + "_" + std::to_string(::getpid()));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  std::string File(const std::string& rel, const std::string& content = "x") const {
    const fs::path p = path_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }
  std::string Dir(const std::string& rel) const {
    fs::create_directories(path_ / rel);
    return (path_ / rel).string();
  }

 private:
  fs::path path_;
};

struct Record {
  std::string id;  // raw identifier bytes
  std::uint32_t extent = 0, size = 0;
  std::uint8_t flags = 0, length = 0;
  std::uint8_t date[7] = {};
  std::size_t offset = 0;  // within the directory extent
};

// The records of the directory extent at lba (size bytes) inside a
// metadata buffer that starts at lba start.
inline std::vector<Record> ReadRecords(const std::vector<std::uint8_t>& meta, std::uint32_t start, std::uint32_t lba,
                                       std::uint32_t size) {
  std::vector<Record> out;
  const std::size_t base = static_cast<std::size_t>(lba - start) * kSectorSize;
  for (std::size_t sec = 0; sec < size / kSectorSize; ++sec) {
    std::size_t pos = 0;
    while (pos < kSectorSize) {
      const std::uint8_t* p = meta.data() + base + sec * kSectorSize + pos;
      if (p[0] == 0) break;
      Record r;
      r.length = p[0];
      r.extent = le::load32(p + 2);
      r.size = le::load32(p + 10);
      std::copy(p + 18, p + 25, r.date);
      r.flags = p[25];
      r.id.assign(reinterpret_cast<const char*>(p + 33), p[32]);
      r.offset = sec * kSectorSize + pos;
      out.push_back(r);
      pos += p[0];
    }
  }
  return out;
}

}  // namespace velloran::image::test
