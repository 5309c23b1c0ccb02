// ISO 9660 and Joliet identifiers of the compilation's entries, and the
// order of the directories in the two path tables.
#pragma once

#include "image/compilation.h"

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velloran::image {

// A record's identifier may take at most 255 - 33 bytes, and Joliet names of
// up to 110 UTF-16 units fit in it (longer names are shortened by the
// layout), so Joliet identifiers are longer than the 64
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

// Makes the names of every directory's children valid and unique in the
// name spaces recorded (ISO 9660 always, Joliet when joliet is set), as
// readers compare them.
//   ISO 9660: names keep d-characters and a file's last dot, anything else
//   becoming "_"; compared without ";1" and trailing dots.
//   Joliet: the characters Joliet forbids ("*", "/", ":", ";", "?", "\" and
//   controls) become "_", as do characters outside UCS-2; names longer than
//   kJolietMaxUnits are shortened keeping their extension; names are
//   compared ignoring case (as Windows reads them).
// A name that had to change, collides or is too long gets a "~N" ending
// that no other name of the folder has; a name that needs no change keeps
// it. Of two colliding names the one from an earlier session keeps it,
// else the one added first. Every change is recorded in the compilation
// (Compilation::NameChanges) and reported through debug (mType 1). Returns
// the number of changes this call made.
int ResolveNames(Compilation& compilation, bool joliet = true, const DebugFn& debug = nullptr);

// One line that tells a user what became of a name: "/docs/a:b.txt ->
// a_b.txt (Joliet: characters Joliet does not allow)".
std::string DescribeNameChange(const Compilation& compilation, const TNameChange& change);
// The reasons of a change, in words.
std::string NameChangeReasons(std::uint8_t reasons, NameSpace space);

// ECMA-119 9.3 order of two directory records of one directory, by their
// identifiers as recorded (joliet: UCS-2 big-endian): the file name, then
// the extension, each compared as if padded with blanks; a directory
// identifier is a name without extension. Identifiers that still tie (the
// version is ";1" for every file) are ordered shorter first. Identifiers
// hold no character below the blank once the names are resolved.
bool RecordOrderLess(std::string_view a, bool aDir, std::string_view b, bool bDir, bool joliet);

// The children of dir in the order of their directory records (appended to
// out), with the length of each one's record when recordLengths is given.
void SortedChildren(const TDEntry& dir, bool joliet, std::vector<const TFEntry*>& out,
                    std::vector<std::uint8_t>* recordLengths = nullptr);
// The same for any entries of one directory.
void SortRecordEntries(std::span<const TFEntry* const> entries, bool joliet, std::vector<const TFEntry*>& out,
                       std::vector<std::uint8_t>* recordLengths = nullptr);

// Path table order (root first, then by parent number, then by directory
// identifier in the order of the directory records); sets PathTableNumber
// / JolietPathTableNumber. Ties keep creation order.
std::vector<TDEntry*> OrderIsoPathTable(const Compilation& compilation);
// The ISO order of a hierarchy given by its directories (the root first)
// and each one's parent there (Rock Ridge moves the deepest ones).
std::vector<TDEntry*> OrderIsoPathTable(const std::vector<TDEntry*>& dirs,
                                        const std::function<const TDEntry*(const TDEntry*)>& parentOf);
std::vector<TDEntry*> OrderJolietPathTable(const Compilation& compilation);

}  // namespace velloran::image
