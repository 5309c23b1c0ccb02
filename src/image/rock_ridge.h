// Rock Ridge: the System Use Sharing Protocol (SUSP 1.12) entries and the
// Rock Ridge Interchange Protocol (RRIP 1.12) entries that carry POSIX
// names, modes, owners, times and symbolic links in the System Use area of
// ISO 9660 directory records; their writing for the layout, and their
// reading for the import of an earlier session.
//
// Every entry is [signature (2), length (1), version (1), data]. An area
// that overflows its record continues in a Continuation Area (CE) elsewhere
// on the disc, a piece of at most one sector.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velloran::image::rr {

inline constexpr std::size_t kMaxEntry = 255;  // an entry's length byte
inline constexpr std::size_t kMaxName = 255;   // bytes of a POSIX file name (NAME_MAX)
inline constexpr std::size_t kCeLength = 28;
inline constexpr std::size_t kPxLength = 44;   // RRIP 1.12: with the file serial number
inline constexpr std::size_t kTfLength = 26;   // modification, access, attribute change: 7 bytes each

// POSIX file types of the mode field.
inline constexpr std::uint32_t kTypeMask = 0170000, kDirectory = 0040000, kRegular = 0100000, kSymlink = 0120000;

// One SUSP entry, whole (entries are never split).
using Entry = std::string;

Entry SP();  // "this is SUSP": first entry of the root's "." record
Entry ER();  // the RRIP 1.12 extension reference (identifier IEEE_P1282)
Entry CE(std::uint32_t block, std::uint32_t offset, std::uint32_t length);
Entry PX(std::uint32_t mode, std::uint32_t links, std::uint32_t uid, std::uint32_t gid, std::uint32_t serial);
// Times as ISO 9660 short dates under the given offset (quarter hours east).
Entry TF(std::time_t modified, std::time_t accessed, std::time_t changed, std::int8_t zoneQuarters);
Entry CL(std::uint32_t childDirectory);
Entry PL(std::uint32_t parentDirectory);
Entry RE();
// A name as NM entries (several when it is longer than one entry holds).
void AppendNM(std::vector<Entry>& out, std::string_view name);
// A link target as SL entries: its components ("/" separated; "." and ".."
// and a leading "/" as SL's own component flags), as many entries as needed.
void AppendSL(std::vector<Entry>& out, std::string_view target);

// What one record's System Use area (with its continuations) says.
struct TAttributes {
  bool susp = false;             // an SP entry (root "." only)
  std::uint32_t skip = 0;        // SP's count of bytes to skip in every area
  bool rripExtension = false;    // an ER entry naming RRIP
  bool hasMode = false;
  std::uint32_t mode = 0, links = 0, uid = 0, gid = 0;
  bool hasTimes = false;
  std::time_t modified = 0, accessed = 0, changed = 0;  // 0: not given
  bool hasName = false;
  std::string name;
  bool isLink = false;
  std::string linkTarget;
  bool linkComponentOpen = false;  // the last SL component continues
  bool relocated = false;         // RE: shown elsewhere (through a CL)
  std::uint32_t childLink = 0;    // CL: the directory this placeholder stands for (0: none)
  std::uint32_t parentLink = 0;   // PL
  bool stop = false;              // ST: no more entries

  bool Any() const { return hasMode || hasTimes || hasName || isLink || relocated || childLink != 0; }
};

// Where an area continues.
struct TContinuation {
  std::uint32_t block = 0, offset = 0, length = 0;
};

// Reads the entries of one area into out (NM and SL pieces are joined);
// next is set when a CE entry names a further area. Malformed entries end
// the area; false then.
bool ParseArea(std::span<const std::uint8_t> area, TAttributes& out, TContinuation& next);

// The seven-byte ISO 9660 date (with its own offset) as a moment; false
// when the fields cannot form a date. All zero is "not given" (0, true).
bool ShortDateTime(const std::uint8_t date[7], std::time_t& out);

}  // namespace velloran::image::rr
