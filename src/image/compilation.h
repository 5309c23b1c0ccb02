// The compilation tree: the directories (TDEntry) and the files and
// subdirectory nodes inside them (TFEntry) that a disc will hold, built from
// paths on the local disk or created empty, with fixed capacities.
//
// Directory paths inside the compilation are backslash-separated and
// uppercased ("\DOCS\PHOTOS"); "/" is accepted wherever a caller passes a
// destination path and is read as "\".
#pragma once

#include "platform/find_files.h"
#include "platform/time_zone.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace velloran::image {

using platform::TDateTime;

struct TFEntry;

struct TDEntry {
  std::string IsoName;     // root "CD_ROOT"
  std::string JolietName;  // root "CD Root Directory"
  std::uint8_t Flag = 0;
  std::int64_t IsoExtentSize = 0;     // bytes, set by the layout
  std::int64_t JolietExtentSize = 0;  // bytes, set by the layout
  std::string Path;                   // uppercased, root "\"
  std::int32_t IsoExtentOffset = 0;     // sectors from the ISO directory area
  std::int32_t JolietExtentOffset = 0;  // sectors from the Joliet directory area
  std::uint8_t Depth = 1;               // root 1
  std::int32_t PathTableNumber = 0;        // position in the ISO path table (root 1)
  std::int32_t JolietPathTableNumber = 0;  // position in the Joliet path table
  TDEntry* Parent = nullptr;               // the root is its own parent
  TFEntry* FirstChild = nullptr;
  std::int32_t Spare = 0;

  // Bookkeeping that keeps large compilations fast: the last child (O(1)
  // append), the node standing for this directory in its parent, the
  // children by uppercased long name and the ISO names in use.
  TFEntry* LastChild = nullptr;
  TFEntry* Node = nullptr;
  std::unordered_map<std::string, TFEntry*> ChildrenByName;
  std::unordered_set<std::string> IsoNamesInUse;
  std::unordered_map<std::string, unsigned> ShortNameCounters;
};

struct TFEntry {
  std::string IsoName;     // uppercased short name
  std::string JolietName;  // long name (UTF-8)
  std::string SourcePath;  // empty for subdirectory nodes and imported files
  bool Imported = false;   // Extent is an absolute LBA of an earlier session
  TDateTime Date = 0;
  std::int64_t Size = 0;
  std::int64_t JolietSize = 0;  // for a subdirectory node the Joliet extent size
  std::int32_t Extent = 0;        // sectors from the first file location, or absolute when imported
  std::int32_t JolietExtent = 0;  // same convention
  std::int32_t Attributes = 0;    // 16 marks a subdirectory node
  std::int32_t OwnerTag = 0;
  TDEntry* Directory = nullptr;  // the directory a subdirectory node stands for
  TFEntry* Next = nullptr;
  std::uint8_t ModeFlag = 0;
  TDEntry* Parent = nullptr;  // the directory holding this entry

  bool IsDirectory() const { return (Attributes & platform::faDirectory) != 0; }
};

// A directory found on disk (or in an imported session), as AddDirEntry
// takes it.
struct TFoundDir {
  std::string LongName;
  std::string ShortName;  // empty: the uppercased long name is used
  int Attr = platform::faDirectory;
  TDateTime Date = 0;  // 0 or not convertible: now
};

// What the tree tells its owner. Senders are added by the owner.
struct CompilationEvents {
  // fullPath empty for an imported file; may change names, date and skip.
  std::function<void(const std::string& fullPath, std::string& longName, std::string& shortName, TDateTime& date,
                     int attr, std::int64_t size, bool& skip)>
      addFile;
  std::function<void(std::string& longName, std::string& shortName, bool& skip)> addDir;
  std::function<void(const std::string& message, std::uint8_t mType)> debug;
  std::function<void()> changed;  // any change to the tree (clears the layout-current flag)
};

class Compilation {
 public:
  static constexpr int kDefaultMaxFiles = 65535;
  static constexpr int kDefaultMaxDirs = 8191;

  Compilation();
  ~Compilation();
  Compilation(const Compilation&) = delete;
  Compilation& operator=(const Compilation&) = delete;

  CompilationEvents Events;
  bool ReplaceFile = false;
  bool LastFolderOnly = false;

  // Frees every entry, sets the capacities, creates the root and records
  // the time-zone bias used by directory record dates.
  void ResetCompilation(int maxFiles, int maxDirs);

  // nullptr when a capacity is reached (reported with mType 3).
  TDEntry* CreateDir(TDEntry* parent, const std::string& name, int attr);
  TDEntry* AddDirEntry(TDEntry* parent, const TFoundDir& found);
  // Adds one file: nullptr when skipped, refused as a duplicate or beyond
  // capacity. longName is the name in the compilation (the source's own
  // name for AddFile/AddFolder). importedLba >= 0 marks an imported file.
  TFEntry* AddFileEntry(TDEntry* dir, const std::string& sourcePath, const platform::TSearchRec& found,
                        std::int32_t ownerTag, std::int64_t importedLba = -1);

  // 1 found (added or not), 255 not found or not a regular file, 0 invalid
  // destination. destPath is a compilation path.
  int AddFile(const std::string& destPath, const std::string& sourceFile, bool useSourcePath);
  // As AddFile, but under another name (a graft point "DEST=SRC").
  int AddFileAs(TDEntry* dir, const std::string& sourceFile, const std::string& longName);
  // Result of the last entry handled: 1 added, 0 not added or failure.
  int AddFolder(TDEntry* destDir, const std::string& sourceFolder, bool archiveOnly, bool useSourcePath, bool recurse,
                int attrMask, const std::string& mask);
  TDEntry* ForceDirs(const std::string& path);
  TDEntry* FindDir(const std::string& path) const;
  TFEntry* FindFile(const TDEntry* dir, const std::string& longName) const;
  bool RemoveFile(const std::string& dirPath, const std::string& longName);
  bool RemoveDir(TDEntry* dir);
  std::int64_t FolderSize(const std::string& path) const;

  TDEntry* Root() const { return dirs_.empty() ? nullptr : dirs_.front().get(); }
  int DirCount() const { return static_cast<int>(dirs_.size()) - 1; }
  int FileCount() const { return static_cast<int>(files_.size()); }
  int MaxFiles() const { return maxFiles_; }
  int MaxDirs() const { return maxDirs_; }
  std::int64_t TotalRoundedSize() const { return totalRounded_; }
  int TimeZoneBias() const { return bias_; }  // minutes, positive west
  TFEntry* LastFileAdded() const { return lastAdded_; }

  // Creation order; the root is directory 0.
  const std::vector<std::unique_ptr<TDEntry>>& Dirs() const { return dirs_; }
  const std::vector<std::unique_ptr<TFEntry>>& Files() const { return files_; }

  // Uppercases ASCII letters only.
  static std::string UpperAscii(std::string s);
  // "/" to "\", no trailing "\" (the root stays "\").
  static std::string NormalisePath(const std::string& path);

 private:
  struct RemovalBatch;
  void Debug(const std::string& message, std::uint8_t mType) const;
  void Changed();
  std::string UniqueShortName(TDEntry* dir, const std::string& longName, bool isDirectory);
  TFEntry* NewNode(TDEntry* dir);
  void Unlink(TFEntry* child);
  void CollectRemoval(TDEntry* dir, RemovalBatch& batch);
  void ApplyRemoval(RemovalBatch& batch);
  int AddFolderImpl(TDEntry* destDir, const std::string& sourceFolder, bool archiveOnly, bool useSourcePath,
                    bool recurse, int attrMask, const std::string& mask,
                    std::vector<std::pair<std::uint64_t, std::uint64_t>>& ancestors);
  TDEntry* SourceDestination(const std::string& sourceDir, const TDEntry* base);

  std::vector<std::unique_ptr<TDEntry>> dirs_;
  std::vector<std::unique_ptr<TFEntry>> files_;
  std::unordered_map<std::string, TDEntry*> dirsByPath_;
  int maxFiles_ = kDefaultMaxFiles;
  int maxDirs_ = kDefaultMaxDirs;
  std::int64_t totalRounded_ = 0;
  int bias_ = 0;
  TFEntry* lastAdded_ = nullptr;
};

// Size rounded up to whole 2048-byte sectors, in bytes (0 stays 0).
inline std::int64_t RoundToSector(std::int64_t bytes) { return (bytes + 2047) / 2048 * 2048; }

}  // namespace velloran::image
