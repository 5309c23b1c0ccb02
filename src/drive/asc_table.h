// The ASC/ASCQ assignments of the SCSI Primary and Multi-Media Commands
// standards, generated into the build from data/asc_ascq.tsv.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velloran::drive {

struct AscEntry {
  std::uint8_t asc;
  std::uint8_t ascq;
  const char* text;
};

extern const AscEntry kAscTable[];
extern const std::size_t kAscTableSize;

// The standard's text for the pair, or nullptr when it holds none.
const char* FindAscText(std::uint8_t asc, std::uint8_t ascq);

}  // namespace velloran::drive
