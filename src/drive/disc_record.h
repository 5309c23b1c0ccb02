// TDisc: what the drive class knows about the medium in the drive, copied by
// value to callers (main window, disc information dialog, jobs).
#pragma once

#include <cstdint>
#include <string>

namespace velloran::drive {

struct TDisc {
  std::uint8_t ready = 0;             // 1 when the drive answered TEST UNIT READY
  std::uint32_t capacity = 0;         // disc capacity in blocks
  std::uint32_t size = 0;             // size in blocks from track, format or capacity data
  std::uint32_t blockSize = 0;        // block length in bytes
  std::uint8_t firstSession = 0;      // READ TOC format 1, byte 2
  std::uint8_t lastSession = 0;       // READ TOC format 1, byte 3
  std::uint8_t lastSessionState = 0;  // 0 empty, 1 incomplete, 2 damaged, 3 complete
  std::uint8_t discStatus = 0;        // 0 empty, 1 incomplete, 2 complete, 3 other
  std::uint16_t profile = 0;          // current profile number
  std::string mediumName;
  std::uint8_t erasable = 0;          // 1 for rewritable media
};

}  // namespace velloran::drive
