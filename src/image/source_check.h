// The source files of a compilation, checked before a recording starts:
// each must still be a readable regular file of the size the layout gave
// it, or the disc would be spent on a burn that stops (or records the wrong
// length) when it reaches the file. What each file was at that moment is
// kept, so a file that changes while the disc is written can be told apart
// afterwards without reading it again.
#pragma once

#include "image/compilation.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace velloran::image {

namespace msg {
inline constexpr const char* NOT_A_REGULAR_FILE = "FILE \"%s\" IS NOT A REGULAR FILE";
inline constexpr const char* FILE_GREW = "FILE \"%s\" BECAME LONGER SINCE IT WAS ADDED";
}  // namespace msg

// What a source file was when it was checked (device, inode, size and
// modification time: a file written to or replaced changes one of them).
struct TSourceStamp {
  std::uint64_t Device = 0, Inode = 0;
  std::int64_t Size = 0;
  std::int64_t ModifiedNs = 0;
  bool operator==(const TSourceStamp&) const = default;
};

using TSourceStamps = std::unordered_map<const TFEntry*, TSourceStamp>;

// Opens every new file of the compilation (imported files and folders have
// no source) and compares it with its entry. Returns one message per file
// that fails, in file order: CAN'T OPEN FILE, NOT A REGULAR FILE, BECAME
// SHORTER or BECAME LONGER with its path; empty when all are fine. The
// stamps of the files that passed go into stamps when given.
std::vector<std::string> CheckSourceFiles(const Compilation& compilation, TSourceStamps* stamps = nullptr);

// The file's stamp now; false when it cannot be read.
bool StampOf(const std::string& path, TSourceStamp& out);

}  // namespace velloran::image
