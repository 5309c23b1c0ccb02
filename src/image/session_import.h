// Reading the file system of an earlier session back into the compilation
// tree, so that a new session can point at the files already on the disc.
//
// A disc is untrusted input: every length, extent and name it holds is
// checked before it is used. Directory extents are read at most once per
// import (an extent that points back at an ancestor or at itself cannot make
// the walk endless), sizes and the total amount read are bounded, a record
// that runs past its sector ends that sector, names are made safe for the
// compilation's paths, and every problem is reported as an import error
// (message type 4) while what was read so far stays in the tree.
//
// The importer knows nothing about drives: it reads 2048-byte sectors
// through a callback (the component passes one that sends READ (10); tests
// and the fuzzer pass an image in memory).
#pragma once

#include "image/compilation.h"
#include "image/rock_ridge.h"
#include "image/zbISOLib.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

namespace velloran::image {

namespace import_msg {
inline constexpr const char* IMPORTING_SESSION = "IMPORTING SESSION # %d";
inline constexpr const char* DIRECTORY_LOOP = "ERROR IMPORTING SESSION, DIRECTORY LOOP AT SECTOR %u";
inline constexpr const char* DAMAGED_RECORD = "ERROR IMPORTING SESSION, DAMAGED DIRECTORY RECORD IN SECTOR %u";
inline constexpr const char* DIRECTORY_SIZE = "ERROR IMPORTING SESSION, DIRECTORY SIZE %u OUT OF RANGE AT SECTOR %u";
inline constexpr const char* TOO_DEEP = "ERROR IMPORTING SESSION, DIRECTORIES NESTED TOO DEEPLY AT SECTOR %u";
inline constexpr const char* READ_LIMIT = "ERROR IMPORTING SESSION, DIRECTORIES TOO LARGE: IMPORT STOPPED";
inline constexpr const char* UNREADABLE = "ERROR IMPORTING SESSION, CANNOT READ SECTOR %u";
inline constexpr const char* INVALID_NAME = "ERROR IMPORTING SESSION, INVALID FILE NAME";
inline constexpr const char* INVALID_LINK = "ERROR IMPORTING SESSION, INVALID SYMBOLIC LINK";
inline constexpr const char* INVALID_DATE = "ERROR IMPORTING SESSION, INVALID DATE";
inline constexpr const char* BROKEN_EXTENTS = "ERROR IMPORTING SESSION, FILE EXTENTS NOT CONTIGUOUS";
inline constexpr const char* OUTSIDE_VOLUME = "ERROR IMPORTING SESSION, EXTENT OUTSIDE THE VOLUME AT SECTOR %u";
inline constexpr const char* SESSION_NOT_CLOSED = "SESSION %d IS NOT CLOSED: PASSED OVER";
inline constexpr const char* INCOMPLETE_VOLUME = "ERROR IMPORTING SESSION %d (THE VOLUME IS INCOMPLETE)";
}  // namespace import_msg

// Reads one 2048-byte sector at an absolute LBA; false when it cannot.
using SectorReader = std::function<bool(std::uint32_t lba, std::uint8_t* sector)>;

// One directory record as it stands in a sector. Identifier points into the
// sector passed to ParseDirectorySector.
struct TDirRecord {
  std::uint32_t Offset = 0;  // byte position in the sector
  std::uint8_t Length = 0;
  std::uint32_t Extent = 0;  // little-endian half of the both-endian field
  std::uint32_t Size = 0;
  std::uint8_t Date[7] = {};  // years since 1900, month, day, hour, minute, second, zone
  std::uint8_t Flags = 0;     // bit 0 hidden, bit 1 directory, bit 7 more extents follow
  std::span<const std::uint8_t> Identifier;
};

enum class SectorParse : std::uint8_t {
  Complete,         // a zero length byte or the end of the usable area ended the sector
  RecordTooLong,    // a record claims more bytes than the sector has left
  RecordTooShort,   // a record shorter than its fixed part and identifier
};

// Splits a directory sector into its records. Records are not read from a
// position of 2015 or more (the smallest record, 34 bytes, would not fit).
// The records before a damaged one are kept in out.
SectorParse ParseDirectorySector(std::span<const std::uint8_t> sector, std::vector<TDirRecord>& out);

// The name a record's identifier gives, made safe for the compilation:
// up to the first ";", Joliet identifiers converted from UCS-2 big-endian to
// UTF-8, "/", "\" and control characters replaced by "_". changed tells
// whether a replacement was made.
std::string RecordName(std::span<const std::uint8_t> identifier, bool joliet, bool& changed);

// Unix time of a record date taken as local time (the zone byte is ignored,
// as the component's dates are local). False when the fields cannot form a
// date. An all-zero date means "not recorded" and gives 0 (now) with true.
bool RecordTime(const std::uint8_t date[7], std::time_t& out);

struct TImportLimits {
  std::uint32_t MaxDirectoryBytes = 32u << 20;  // one directory extent
  std::uint64_t MaxTotalSectors = 1u << 16;     // every directory sector of one import
  int MaxDepth = 100;
  // Sectors that cannot be read before the import gives up (a real drive
  // may spend seconds on each).
  int MaxUnreadable = 16;
};

class TSessionImporter {
 public:
  TSessionImporter(Compilation& tree, SectorReader read, DebugFn debug, TImportLimits limits = {});

  // Scans the descriptors from trackStart + 16 (Joliet first, then the
  // primary descriptor) and imports the tree below root. sessionNo only
  // names the session in messages. True when a directory tree was found.
  // Directories and files that the descriptor's volume space does not hold
  // are reported and left out.
  bool ImportFrom(std::uint32_t trackStart, int sessionNo, TDEntry* root);

  // Reads one directory extent of size bytes at lba into dir, recursing into
  // subdirectories. True when at least one record was handled.
  bool ImportJolietDir(std::uint32_t lba, std::uint32_t size, TDEntry* dir);
  bool ImportIsoDir(std::uint32_t lba, std::uint32_t size, TDEntry* dir);

  // Read Rock Ridge (names as given, modes, owners, times, links, moved
  // folders) from the ISO 9660 tree of a session that has it, in place of
  // the Joliet names. Set before ImportFrom.
  bool RockRidge = false;
  // Whether the last ImportFrom read Rock Ridge.
  bool ReadRockRidge() const { return rr_; }

  // Files and directories entered by this importer.
  int FilesImported() const { return files_; }
  int DirsImported() const { return dirs_; }

 private:
  struct Pending;  // a file whose further extents follow in later records
  bool ImportDir(std::uint32_t lba, std::uint32_t size, TDEntry* dir, bool joliet, int depth);
  bool HandleRecord(const TDirRecord& r, TDEntry* dir, bool joliet, int depth, Pending& pending);
  bool AddFile(TDEntry* dir, const std::string& name, std::uint32_t extent, std::uint64_t size, int attr,
               std::time_t time, const rr::TAttributes* posix = nullptr);
  // The Rock Ridge entries of a record, its continuation areas followed.
  void SystemUse(const TDirRecord& r, rr::TAttributes& out);
  bool HasRockRidge(std::uint32_t rootExtent);
  void Error(const std::string& text);

  Compilation& tree_;
  SectorReader read_;
  DebugFn debug_;
  TImportLimits limits_;
  std::unordered_set<std::uint32_t> visited_;  // directory extents already read
  std::uint64_t sectorsRead_ = 0;
  int unreadable_ = 0;
  bool stopped_ = false;  // a limit of the whole import was reached
  std::uint32_t volumeEnd_ = 0;  // volume space size of the descriptor read; 0: no limit
  bool rr_ = false;  // the session being read has Rock Ridge
  std::uint32_t skip_ = 0;  // SP: bytes to pass over at the start of every System Use area
  int files_ = 0;
  int dirs_ = 0;
};

}  // namespace velloran::image
