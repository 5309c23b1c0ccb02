#include "drive/asc_table.h"

#include <array>

namespace velloran::drive {

const char* FindAscText(std::uint8_t asc, std::uint8_t ascq) {
  // Index built once: 64 Ki pointers, so a lookup on the error path is O(1).
  static const std::array<const char*, 65536> index = [] {
    std::array<const char*, 65536> a{};
    for (std::size_t i = 0; i < kAscTableSize; ++i) a[(kAscTable[i].asc << 8) | kAscTable[i].ascq] = kAscTable[i].text;
    return a;
  }();
  return index[(asc << 8) | ascq];
}

}  // namespace velloran::drive
