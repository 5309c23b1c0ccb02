// The session as a stream of sectors: the metadata buffer, the boot image,
// zero padding, then each file's data in layout order, zero-filled to the
// sector end. Only the metadata is held in memory; files are opened one at a
// time as the stream reaches them. A block producer (the read-ahead cache,
// the direct image save) pulls blocks of any whole-sector size from it.
#pragma once

#include "image/zbISOLib.h"
#include "platform/sha256.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velloran::image {

// One file's data in the session.
struct TFileExtent {
  const TFEntry* Entry = nullptr;  // of the compilation, which outlives the plan
  std::int64_t Size = 0;     // bytes recorded in the directory records
  std::uint32_t Lba = 0;     // absolute location of its first sector
  std::uint32_t Sectors = 0;

  std::string SourcePath() const { return Entry ? Entry->SourcePath() : std::string(); }
};

struct TImagePlan {
  // The metadata: held whole, or produced sector range by sector range by
  // a source (one of the two).
  const std::vector<std::uint8_t>* Metadata = nullptr;
  const TMetadataSource* MetadataSource = nullptr;
  std::uint32_t StartAddress = 0;
  std::string BootImageFile;  // empty when not bootable
  std::uint32_t BootImageSectors = 0;
  std::uint32_t PaddingSectors = 0;
  std::vector<TFileExtent> Files;  // every new non-empty file, in layout order
  std::int64_t TotalSectors = 0;   // the layout's image sectors
};

// The plan of a laid-out compilation; metadata must outlive the plan.
TImagePlan MakeImagePlan(const Compilation& compilation, const TLayout& layout,
                         const std::vector<std::uint8_t>& metadata, const std::string& bootImageFile);
TImagePlan MakeImagePlan(const Compilation& compilation, const TLayout& layout, const TMetadataSource& metadata,
                         const std::string& bootImageFile);

class TImageReader {
 public:
  explicit TImageReader(const TImagePlan& plan, DebugFn debug = nullptr);
  ~TImageReader();
  TImageReader(const TImageReader&) = delete;
  TImageReader& operator=(const TImageReader&) = delete;

  // Fills buf with the next bytes of the session (bytes must be a multiple
  // of 2048). Returns the number produced (less than asked only at the end,
  // 0 once finished) or -1 on failure, with the reason in Error() and the
  // file concerned in CurrentFile().
  std::int64_t Read(std::uint8_t* buf, std::size_t bytes);

  // Hashes the data of every file as it is read (SHA-256 of its recorded
  // bytes): digests is sized to the plan's files and entry i is set once
  // file i has been read whole. Call before the first Read.
  void HashFiles(std::vector<platform::TDigest>* digests);

  const std::string& Error() const { return error_; }
  const std::string& CurrentFile() const { return currentFile_; }
  std::int64_t SectorsDone() const { return sector_; }
  // True when every byte of the last Read came from padding or from holes
  // of sparse files (the caller may then skip writing it).
  bool LastReadWasZero() const { return lastZero_; }

 private:
  bool OpenNextFile();
  bool Fail(std::string text);

  const TImagePlan& plan_;
  DebugFn debug_;
  std::int64_t sector_ = 0;  // sectors produced so far
  int fd_ = -1;
  std::size_t fileIndex_ = 0;  // next file to open
  std::int64_t fileLeft_ = 0;  // bytes of the open file still to copy
  std::int64_t filePos_ = 0;   // read position in the open file
  std::int64_t dataAt_ = -1;   // next data offset of the open file (holes before it read as zeros)
  bool lastZero_ = false;
  std::vector<std::uint8_t> boot_;  // the boot image, read on first use
  std::vector<platform::TDigest>* digests_ = nullptr;
  std::unique_ptr<platform::Sha256> hash_;
  std::string error_, currentFile_;
};

// Writes the whole session to fileName through a temporary file beside it,
// renamed into place only when complete, so a failure never leaves a partial
// image (an existing file of that name is kept until then). Zero blocks are
// skipped with a seek, so the image is sparse where its files are. Returns
// false with the reason in error.
bool SaveImage(const TImagePlan& plan, const std::string& fileName, std::string& error, const DebugFn& debug = nullptr);

}  // namespace velloran::image
