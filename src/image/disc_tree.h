// The file system of one session as a disc holds it: the ISO 9660 tree and
// the Joliet tree, each read from its volume descriptor through the
// directory records, as lists of paths with their sizes and extents. The
// verifier compares them with what was recorded.
//
// The disc is untrusted input, read with the same record parser and the
// same guards as the session import (session_import.h): each directory
// extent is read once, sizes, depth and the total amount read are bounded,
// and a damaged record or an unreadable sector is noted as a problem while
// the rest of the tree is still read.
#pragma once

#include "image/session_import.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velloran::image {

namespace tree_msg {
inline constexpr const char* DAMAGED_RECORD = "DAMAGED DIRECTORY RECORD IN SECTOR %u";
inline constexpr const char* UNREADABLE = "DIRECTORY SECTOR %u CANNOT BE READ";
inline constexpr const char* DIRECTORY_LOOP = "DIRECTORY LOOP AT SECTOR %u";
inline constexpr const char* DIRECTORY_SIZE = "DIRECTORY SIZE %u OUT OF RANGE AT SECTOR %u";
inline constexpr const char* TOO_DEEP = "DIRECTORIES NESTED TOO DEEPLY AT SECTOR %u";
inline constexpr const char* TOO_LARGE = "DIRECTORIES TOO LARGE: READING STOPPED";
inline constexpr const char* BROKEN_EXTENTS = "FILE EXTENTS NOT CONTIGUOUS IN SECTOR %u";
inline constexpr const char* INVALID_NAME = "INVALID FILE NAME IN SECTOR %u";
}  // namespace tree_msg

struct TDiscExtent {
  std::uint32_t Lba = 0;
  std::uint32_t Bytes = 0;
};

struct TDiscEntry {
  // "/"-separated names from the root, each as RecordName gives it (the
  // ";N" version cut off, Joliet decoded to UTF-8); no leading "/".
  std::string Path;
  bool Directory = false;
  std::uint64_t Size = 0;
  // One per directory record: several for a file of 4 GiB and more, in
  // the order the records list them.
  std::vector<TDiscExtent> Extents;
};

struct TDiscTree {
  bool Present = false;  // the volume descriptor was found
  std::vector<TDiscEntry> Entries;
  std::vector<std::string> Problems;
};

struct TDiscTreeLimits {
  std::uint32_t MaxDirectoryBytes = 32u << 20;
  std::uint64_t MaxTotalSectors = 1u << 18;  // directory sectors of one tree
  std::size_t MaxEntries = 1u << 20;
  int MaxDepth = 100;
  int MaxUnreadable = 16;
};

// Reads the trees of the session whose volume descriptors start at
// sessionStart + 16 (through the terminator, at most 21 sectors). A tree
// whose descriptor is missing stays empty with Present false.
void ReadDiscTrees(const SectorReader& read, std::uint32_t sessionStart, TDiscTree& iso, TDiscTree& joliet,
                   const TDiscTreeLimits& limits = {});

// The path a disc entry of this identifier chain gets, from the identifiers
// of the directories (root excluded) and of the entry itself.
std::string DiscPath(const std::vector<std::string>& identifiers, bool joliet);

}  // namespace velloran::image
