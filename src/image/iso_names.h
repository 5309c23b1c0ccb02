// ISO 9660 and Joliet identifiers of the compilation's entries, and the
// order of the directories in the two path tables.
#pragma once

#include "image/compilation.h"

#include <string>
#include <vector>

namespace velloran::image {

// A record's identifier may take at most 255 - 33 bytes, and Joliet names of
// up to 110 UTF-16 units are what the compilation accepts (longer names are
// skipped when added), so Joliet identifiers are longer than the 64
// characters of the Joliet definition; the readers in use (Windows, the
// Linux kernel, libisofs, libcdio, pycdlib) read them, as they read the
// images of mkisofs -joliet-long.
inline constexpr std::size_t kJolietMaxUnits = 110;
// ISO 9660 level 2: at most 30 characters for a file identifier (without
// ";1"), 31 for a directory.
inline constexpr std::size_t kIsoMaxFileName = 30;
inline constexpr std::size_t kIsoMaxDirName = 31;

// Identifier bytes of a child's directory record. Files get ";1"; an ISO
// file name without a dot gets one (ISO 9660 requires the separator); a
// Joliet file name too long to carry ";1" within 255 bytes goes without it.
std::string IsoRecordIdentifier(const TFEntry& child);
std::string JolietRecordIdentifier(const TFEntry& child);
// Path table identifiers: ISO name bytes, Joliet name in UCS-2 big-endian.
std::string IsoDirIdentifier(const TDEntry& dir);
std::string JolietDirIdentifier(const TDEntry& dir);

// Record length for an identifier of n bytes (33 + n, plus a pad byte to
// keep records even).
inline std::size_t RecordLength(std::size_t n) { return 33 + n + ((n % 2 == 0) ? 1 : 0); }

// Makes the names of every directory's children valid and unique in both
// name spaces, as readers compare them (ISO: without ";1" and trailing dots;
// Joliet: the UCS-2 identifier). ISO names keep d-characters and a file's
// last dot, anything else becoming "_"; a name that collides or is too long
// is given a "~N" ending; everything else is left as it is. Returns the number
// of entries renamed (each reported through debug when given).
int ResolveNames(Compilation& compilation,
                 const std::function<void(const std::string&, std::uint8_t)>& debug = nullptr);

// Path table order (root first, then by parent number, then by identifier
// compared byte by byte with a prefix before the longer name); sets
// PathTableNumber / JolietPathTableNumber. Ties keep creation order.
std::vector<TDEntry*> OrderIsoPathTable(const Compilation& compilation);
std::vector<TDEntry*> OrderJolietPathTable(const Compilation& compilation);

}  // namespace velloran::image
