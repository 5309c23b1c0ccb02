// Volume layout and metadata of an ISO 9660 image with an optional Joliet
// name space and an optional El Torito boot catalog.
//
// BuildLayout decides where every structure lies; BuildMetadata writes the
// sectors from the session start through the directory records and the boot
// catalog. The rest of the session is not held in memory: it is the boot
// image, zero padding, then each file's data in layout order (see
// image_stream.h, which produces the whole session block by block).
#pragma once

#include "image/compilation.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

namespace velloran::image {

inline constexpr std::uint32_t kSectorSize = 2048;
inline constexpr std::uint32_t kMinFirstFileLba = 150;
// Largest extent of a multi-extent file: 4 GiB less one sector, so each
// part stays below 4 GiB (the 32-bit data length) and starts on a sector.
inline constexpr std::int64_t kMaxExtentBytes = 0xFFFFF800LL;

struct TLayoutOptions {
  bool Joliet = true;
  // Rock Ridge in the ISO 9660 records: POSIX names, modes, owners, times
  // and links. Owners and modes as found when RockRidgeOwners is set;
  // otherwise owner and group 0 and everything readable by everyone.
  bool RockRidge = false;
  bool RockRidgeOwners = false;
  bool Bootable = false;
  std::int64_t BootImageBytes = 0;  // size of the boot image file
  std::uint32_t StartAddress = 0;   // S: 0 for an image file, else the next writable address
};

// Rock Ridge keeps directories deeper than ISO 9660's eight levels where
// they are for its readers, and moves them below the root's relocation
// folder in the ISO 9660 hierarchy (RRIP's CL, PL and RE).
struct TRelocation {
  TDEntry Dir;   // "RR_MOVED" (hidden from Rock Ridge readers)
  TFEntry Node;  // its record in the root
  std::unordered_set<const TDEntry*> Moved;
};

// Every location is an absolute LBA.
struct TLayout {
  std::uint32_t StartAddress = 0;
  std::uint32_t Pvd = 0, BootRecord = 0, JolietSvd = 0, Terminator = 0;
  std::uint32_t IsoPathTableSize = 0, JolietPathTableSize = 0;
  std::uint32_t IsoL = 0, IsoM = 0, JolietL = 0, JolietM = 0;
  std::uint32_t IsoDirArea = 0, JolietDirArea = 0;
  std::uint32_t IsoDirSectors = 0, JolietDirSectors = 0;
  std::uint32_t BootCatalog = 0, BootImage = 0, BootImageSectors = 0;
  std::uint32_t MetadataEnd = 0;  // first LBA after the metadata buffer (the boot image, when there is one)
  std::uint32_t PaddingSectors = 0;
  std::uint32_t FirstFile = 0;  // F
  std::int64_t FileDataSectors = 0;
  std::int64_t VolumeSize = 0;    // V
  std::int64_t ImageSectors = 0;  // V - S
  bool Joliet = true;
  bool Bootable = false;
  bool RockRidge = false;
  bool RockRidgeOwners = false;
  std::uint32_t RockRidgeArea = 0, RockRidgeSectors = 0;  // continuation areas, after the ISO directories
  // Where in the continuation areas (bytes from RockRidgeArea) the pieces
  // of each ISO directory's records begin, and, last, where they end: a
  // range of the metadata is written from the directories that reach it.
  std::vector<std::uint64_t> RockRidgeCursor;
  // The ISO 9660 directories: the compilation's, then the relocation
  // folder when Rock Ridge needs one.
  std::vector<TDEntry*> IsoDirs;
  std::shared_ptr<TRelocation> Relocation;
  std::vector<TDEntry*> IsoOrder, JolietOrder;  // path table order
  // The children of every directory in the order of their records (ECMA-119
  // 9.3), directory after directory in the order of IsoDirs (Joliet: of
  // Compilation::Dirs()): those of directory i are Records[RecordStart[i]]
  // to Records[RecordStart[i + 1] - 1].
  std::vector<const TFEntry*> IsoRecords, JolietRecords;
  std::vector<std::uint8_t> IsoRecordLengths, JolietRecordLengths;  // bytes of each one's record
  std::vector<std::uint32_t> IsoRecordStart, JolietRecordStart;
  std::vector<std::uint8_t> IsoDotLengths;  // with Rock Ridge: "." and ".." of each ISO directory

  // A directory's parent in the ISO 9660 hierarchy.
  const TDEntry* IsoParent(const TDEntry& dir) const {
    return Relocation && Relocation->Moved.count(&dir) ? &Relocation->Dir : dir.Parent;
  }

  std::size_t MetadataBytes() const { return static_cast<std::size_t>(MetadataEnd - StartAddress) * kSectorSize; }
};

// Number of directory records a file needs (several for 4 GiB and more).
inline std::int64_t ExtentCount(std::int64_t size) {
  return size <= 0xFFFFFFFFLL ? 1 : (size + kMaxExtentBytes - 1) / kMaxExtentBytes;
}

// Bytes of one directory's records in one name space (whole sectors, at
// least one).
std::int64_t DirectoryExtentSize(const TDEntry& dir, bool joliet);
std::int64_t DirectoryExtentSize(std::span<const TFEntry* const> sortedChildren, bool joliet);

// Computes every location and size, the path table order and numbers, the
// directory offsets and the file extents. The names must be resolved
// (ResolveNames) beforehand. Emits the location lines through debug when
// given.
TLayout BuildLayout(Compilation& compilation, const TLayoutOptions& options, const DebugFn& debug = nullptr);

// Descriptor texts and dates.
struct TVolumeInfo {
  std::string IdSystem, IdVolume, IdVolumeSet, IdPublisher, IdPreparer, IdApplication;
  std::string FileCopyright, FileAbstract, FileBibliographic;
  std::string ApplicationUse;
  TDateTime DateCreation = 0, DateModification = 0;  // Joliet descriptor
  TDateTime Now = 0;  // PVD dates and the "." / ".." records
  int TimeZoneBias = 0;  // of Now: minutes, positive west (each entry's date carries its own offset)
};

// "yyyymmddhhnnsszz" as the volume descriptors hold dates (16 characters).
std::string DescriptorDate(TDateTime value);

// Fills out with the metadata (MetadataBytes() of the layout). Returns false
// only when the layout does not belong to this compilation.
bool BuildMetadata(const Compilation& compilation, const TLayout& layout, const TVolumeInfo& info,
                   std::vector<std::uint8_t>& out);

// The metadata produced piece by piece, as the session is streamed, so that
// it is never held whole: a compilation of hundreds of thousands of files
// has tens of megabytes of directory records. The same bytes as
// BuildMetadata. Reads the compilation and the layout, which must stay
// unchanged while it is in use, and outlive it.
class TMetadataSource {
 public:
  TMetadataSource(const Compilation& compilation, const TLayout& layout, const TVolumeInfo& info);

  // Sectors of the metadata (from the layout's start address).
  std::uint32_t Sectors() const { return static_cast<std::uint32_t>(layout_.MetadataBytes() / kSectorSize); }
  // Fills out with sectors [firstSector, firstSector + sectors) of the
  // metadata, counted from its start. False when the range lies beyond it
  // or the layout does not belong to the compilation.
  bool Read(std::uint32_t firstSector, std::uint32_t sectors, std::uint8_t* out) const;

 private:
  const Compilation& compilation_;
  const TLayout& layout_;
  TVolumeInfo info_;
};

// The boot catalog media type for a boot image of so many sectors.
std::uint8_t BootMediaType(std::uint32_t sectors);

}  // namespace velloran::image
