// The media the virtual recorder can hold: profile, capacities, speeds and
// the recording family that decides which state machine applies.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velloran::vrec {

enum class MediumKind : std::uint8_t {
  None,
  CdRom,
  CdR,
  CdRw,
  DvdRom,
  DvdR,
  DvdRam,
  DvdRwRestricted,
  DvdRwSequential,
  DvdPlusRw,
  DvdPlusR,
  DvdPlusRDl,
};

// How a medium is recorded.
enum class Family : std::uint8_t {
  None,
  Rom,           // pressed, read only
  Cd,            // CD-R/RW: track at once, sessions with lead-in/out gaps
  DvdMinus,      // DVD-R, DVD-RW sequential: incremental Rzones and borders
  DvdPlus,       // DVD+R, DVD+R DL: fragments, sessions 2048 blocks apart
  Restricted,    // DVD-RW restricted overwrite: 16-block units anywhere
  PlusRw,        // DVD+RW: 2 KiB units anywhere once formatted
  Ram,           // DVD-RAM: always formatted, random access
};

struct MediumInfo {
  MediumKind kind;
  const char* cliName;       // "cd-r", "dvd-rw-ro", ...
  const char* displayName;   // "CD-R", "DVD-RW Sequential Recording", ...
  std::uint16_t profile;
  Family family;
  bool cd;
  bool erasable;
  bool testWrite;            // the drive can simulate writing on it
  std::uint32_t capacity;    // blank/usable capacity in 2048-byte blocks
  std::uint32_t leadOut;     // last possible lead-out reported to hosts
  std::span<const std::uint16_t> writeSpeeds;  // kB/s, fastest first
  std::uint16_t maxReadSpeed;                   // kB/s
};

const MediumInfo& InfoOf(MediumKind kind);
// Parses a command-line kind name; nullopt for an unknown name.
std::optional<MediumKind> KindFromName(std::string_view name);
// All kinds in catalogue order (for messages listing them).
std::span<const MediumInfo> Catalogue();

// CD addressing.
inline constexpr std::int32_t kCdLeadIn80 = -11635;  // ATIP 97:26:65
inline constexpr std::uint16_t kCdSpeed1x = 176;     // kB/s of raw sectors
inline constexpr std::uint16_t kDvdSpeed1x = 1385;
struct Msf {
  std::uint8_t m, s, f;
};
Msf LbaToMsf(std::int32_t lba);
std::int32_t MsfToLba(std::uint8_t m, std::uint8_t s, std::uint8_t f);

}  // namespace velloran::vrec
