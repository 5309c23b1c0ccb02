// The compilation tree: the directories (TDEntry) and the files and
// subdirectory nodes inside them (TFEntry) that a disc will hold, built from
// paths on the local disk or created empty, with fixed capacities.
//
// Names are kept as given, with their case: Linux tells "readme.txt" and
// "ReadMe.txt" apart, so the compilation does too (the layout makes them
// unique where a name space ignores case). Directory paths inside the
// compilation are backslash-separated ("\Docs\Photos"); "/" is accepted
// wherever a caller passes a destination path and is read as "\", "." and
// ".." are resolved, and a path that climbs above the root is refused. A
// lookup by path or name prefers the exact name and falls back to one that
// differs in case only. A name may itself hold "\" (a Linux file name may):
// such an entry is reached through its TDEntry, or by path components.
#pragma once

#include "image/entry_index.h"
#include "platform/find_files.h"
#include "platform/time_zone.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace velloran::image {

using platform::TDateTime;

using DebugFn = std::function<void(const std::string& message, std::uint8_t mType)>;

struct TFEntry;

struct TDEntry {
  std::string IsoName;     // root "CD_ROOT"
  std::string JolietName;  // root "CD Root Directory"
  std::uint8_t Flag = 0;
  bool Imported = false;  // entered from an earlier session
  std::int64_t IsoExtentSize = 0;     // bytes, set by the layout
  std::int64_t JolietExtentSize = 0;  // bytes, set by the layout
  std::string Path;                   // names as given, root "\"
  std::int32_t IsoExtentOffset = 0;     // sectors from the ISO directory area
  std::int32_t JolietExtentOffset = 0;  // sectors from the Joliet directory area
  std::uint8_t Depth = 1;               // root 1
  std::int32_t PathTableNumber = 0;        // position in the ISO path table (root 1)
  std::int32_t JolietPathTableNumber = 0;  // position in the Joliet path table
  TDEntry* Parent = nullptr;               // the root is its own parent
  TFEntry* FirstChild = nullptr;
  std::int32_t Spare = 0;
  std::uint32_t Subdirs = 0;  // set by the layout: the directories in it (Rock Ridge link counts)

  // Bookkeeping that keeps large compilations fast: the last child (O(1)
  // append), the node standing for this directory in its parent and the
  // next number of each 8.3 stem (the compilation indexes the children by
  // name).
  TFEntry* LastChild = nullptr;
  TFEntry* Node = nullptr;
  std::unordered_map<std::string, unsigned> ShortNameCounters;
};

struct TFEntry {
  std::string IsoName;     // uppercased short name
  std::string JolietName;  // long name (UTF-8)
  // Where the data comes from: the folder (kept once by the compilation
  // for all the files it holds) and the name there. Both empty for
  // subdirectory nodes and imported files.
  const std::string* SourceFolder = nullptr;  // ends with "/"
  std::string SourceName;
  // The small fields side by side: a compilation holds hundreds of
  // thousands of entries, and padding between them is paid for each.
  bool Imported = false;   // Extent is an absolute LBA of an earlier session
  std::int8_t ZoneOffset = 0;  // of Date: quarter hours east of UTC in force at that date
  std::uint8_t ModeFlag = 0;
  // POSIX attributes for Rock Ridge, as found on disk (or in an earlier
  // session): file type and permission bits (0 when unknown), owner, and
  // the last access and status change in seconds from Date's moment.
  std::uint16_t Mode = 0;
  std::uint32_t NameHash = 0;  // the compilation's index by long name and by ISO name
  std::uint32_t IsoHash = 0;
  std::uint32_t Uid = 0;
  std::uint32_t Gid = 0;
  std::int32_t AtimeDelta = 0, CtimeDelta = 0;
  std::int32_t Extent = 0;        // sectors from the first file location, or absolute when imported
  std::int32_t JolietExtent = 0;  // same convention
  std::int32_t Attributes = 0;    // 16 marks a subdirectory node
  std::int32_t OwnerTag = 0;
  TDateTime Date = 0;
  std::int64_t Size = 0;
  std::int64_t JolietSize = 0;  // for a subdirectory node the Joliet extent size
  TDEntry* Directory = nullptr;  // the directory a subdirectory node stands for
  TFEntry* Next = nullptr;
  TDEntry* Parent = nullptr;  // the directory holding this entry

  bool IsDirectory() const { return (Attributes & platform::faDirectory) != 0; }
  bool IsLink() const { return (Attributes & platform::faSymLink) != 0; }

  // Entries are carved from large blocks: a compilation of hundreds of
  // thousands would otherwise pay the allocator's header and rounding on
  // each of them.
  static void* operator new(std::size_t size);
  static void operator delete(void* entry, std::size_t size) noexcept;
  // The source file's path; empty for subdirectory nodes and imported files.
  std::string SourcePath() const { return SourceFolder ? *SourceFolder + SourceName : SourceName; }
};

// The moment (Unix time) of an entry's date.
std::time_t EntryTime(const TFEntry& entry);

// A directory found on disk (or in an imported session), as AddDirEntry
// takes it.
struct TFoundDir {
  std::string LongName;
  std::string ShortName;  // empty: the uppercased long name is used
  int Attr = platform::faDirectory;
  TDateTime Date = 0;  // 0 or not convertible: now
  std::time_t Time = 0;  // the moment of Date when known (its UTC offset is then exact)
  std::uint32_t Mode = 0, Uid = 0, Gid = 0;  // as TSearchRec has them (0: unknown)
  std::time_t Atime = 0, Ctime = 0;
};

// How a name on the disc came to differ from the name an entry was given.
// Flags: one change may have several causes.
enum NameChangeReason : std::uint8_t {
  kNameCaseOnly = 1,        // another name in the folder differs only in case
  kNameTaken = 2,           // another entry in the folder has this very name
  kNameCharacters = 4,      // characters the name space does not allow
  kNameUnrepresentable = 8,  // characters outside UCS-2, or bytes that are not UTF-8
  kNameTooLong = 16,        // longer than the name space allows
};

enum class NameSpace : std::uint8_t { Iso, Joliet };

// One entry's name changed in one name space by the layout. The entry's
// current name in that space is the name on the disc.
struct TNameChange {
  const TFEntry* Entry = nullptr;
  std::string From;  // the name before the change
  NameSpace Space = NameSpace::Joliet;
  std::uint8_t Reasons = 0;  // NameChangeReason flags
};

// Something found in a source folder, or given, that the compilation left
// out, and why.
struct TSkippedEntry {
  std::string Source;  // the source path (or the name given)
  std::string Why;
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
  // Rock Ridge readers refuse longer link targets (libisofs stops reading
  // the whole tree at one, isoinfo crashes): such links are left out.
  static constexpr std::size_t kMaxLinkTarget = 1023;
  // AddFolder keeps symbolic links as links (entries without data whose
  // target LinkTarget gives) instead of following them.
  bool RecordLinks = false;

  // Frees every entry, sets the capacities, creates the root and records
  // the time-zone bias used by directory record dates.
  void ResetCompilation(int maxFiles, int maxDirs);

  // nullptr when a capacity is reached (reported with mType 3) or the name
  // is not one a directory can have ("", "." or "..", or holding "/";
  // reported as an invalid destination, mType 4). A directory of that exact
  // name in parent is returned as it is.
  TDEntry* CreateDir(TDEntry* parent, const std::string& name, int attr);
  TDEntry* AddDirEntry(TDEntry* parent, const TFoundDir& found);
  // Adds one file: nullptr when skipped, refused as a duplicate or beyond
  // capacity. longName is the name in the compilation (the source's own
  // name for AddFile/AddFolder). importedLba >= 0 marks an imported file.
  // A folder of the same name does not stop it (the layout tells the two
  // apart); a file of the same name is replaced when ReplaceFile is set and
  // otherwise stays, the new one being reported as skipped.
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
  // nullptr when the path climbs above the root (reported as an invalid
  // destination) or a level cannot be created.
  TDEntry* ForceDirs(const std::string& path);
  // The same by names, below base (nullptr: the root); each name is taken
  // whole ("\" is a character of it).
  TDEntry* ForceDirs(TDEntry* base, const std::vector<std::string>& names);
  TDEntry* FindDir(const std::string& path) const;
  // The child of that long name: the exact name first, else one differing
  // only in case.
  TFEntry* FindFile(const TDEntry* dir, const std::string& longName) const;
  // The child of exactly that long name and kind, or nullptr.
  TFEntry* FindChild(const TDEntry* dir, const std::string& longName, bool directory) const;
  // Renames child in one name space (a subdirectory node's directory
  // too), keeping the lookups by name current.
  void SetJolietName(TFEntry* child, const std::string& name);
  void SetIsoName(TFEntry* child, const std::string& name);
  // True when a child of dir other than except has that ISO name, as
  // readers compare ISO names (trailing dots ignored).
  bool IsoNameInUse(const TDEntry* dir, const std::string& isoName, const TFEntry* except = nullptr) const;
  // The lookups by name are needed only while the compilation is changed
  // or searched. A long job (the layout and writing of a session) sets them
  // aside and gives back 16 bytes an entry; the next search or change files
  // every entry again under the hashes it keeps.
  void SetIndexesAside();
  // Removes one child (a subdirectory node with everything below it).
  bool RemoveEntry(TFEntry* child);
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

  // Names changed by the layout (ResolveNames) since the last reset, in the
  // order they were made; entries removed since are dropped.
  const std::vector<TNameChange>& NameChanges() const { return nameChanges_; }
  // How many entries have a name changed (in one name space or both).
  std::size_t EntriesRenamed() const;
  // The record of entry's change in that space, or nullptr.
  const TNameChange* NameChangeOf(const TFEntry* entry, NameSpace space) const;
  // Notes a change of entry's name in space (from: the name before it); a
  // second change of the same entry and space keeps the first name.
  void RecordNameChange(const TFEntry* entry, NameSpace space, const std::string& from, std::uint8_t reasons);
  // The target of a link entry; nullptr for any other entry.
  const std::string* LinkTarget(const TFEntry* entry) const;
  // What was left out since the last reset.
  const std::vector<TSkippedEntry>& Skipped() const { return skipped_; }
  // Notes (and reports, mType 1) something left out.
  void RecordSkip(const std::string& source, const std::string& why);
  // The name entry was given (before any change the layout made).
  std::string GivenName(const TFEntry* entry) const;
  // The folder's path on the disc as a user reads it: "/" between the
  // names it was given, "/" for the root.
  std::string DisplayPath(const TDEntry* dir) const;

  // Uppercases ASCII letters only.
  static std::string UpperAscii(std::string s);
  // "/" to "\", no trailing "\" (the root stays "\"), "." and ".."
  // resolved. Empty when the path climbs above the root.
  static std::string NormalisePath(const std::string& path);
  // The names of a path ("\" and "/" separate them, "." and ".." are
  // resolved); false when it climbs above the root.
  static bool SplitPath(const std::string& path, std::vector<std::string>& names);
  // A name an entry can have: not empty, not "." or "..", no "/" or NUL.
  static bool ValidName(const std::string& name);

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
  TDEntry* SourceDestination(const std::string& sourceDir, TDEntry* base);
  TDEntry* FindDirIn(const TDEntry* dir, const std::string& name) const;

  void IndexNames(TFEntry* child);
  void UnindexNames(const TFEntry* child);

  void SetSource(TFEntry* entry, const std::string& sourcePath);

  std::vector<std::unique_ptr<TDEntry>> dirs_;
  // The folders source files come from, each once (entries point into it).
  std::unordered_set<std::string> sourceFolders_;
  const std::string* lastSourceFolder_ = nullptr;
  // Files them again when they were set aside; every use of the indexes
  // goes through it.
  void UseIndexes() const;
  mutable EntryIndex byName_{&TFEntry::NameHash};  // children by long name
  mutable EntryIndex byIso_{&TFEntry::IsoHash};    // children by ISO name as readers compare it
  mutable bool indexesAside_ = false;
  std::vector<std::unique_ptr<TFEntry>> files_;
  std::vector<TNameChange> nameChanges_;
  std::unordered_map<std::uintptr_t, std::size_t> nameChangeIndex_;  // entry address + space -> record
  std::vector<TSkippedEntry> skipped_;
  std::unordered_map<const TFEntry*, std::string> linkTargets_;  // links are few: kept beside the entries
  int maxFiles_ = kDefaultMaxFiles;
  int maxDirs_ = kDefaultMaxDirs;
  std::int64_t totalRounded_ = 0;
  int bias_ = 0;
  TFEntry* lastAdded_ = nullptr;
};

// Size rounded up to whole 2048-byte sectors, in bytes (0 stays 0).
inline std::int64_t RoundToSector(std::int64_t bytes) { return (bytes + 2047) / 2048 * 2048; }

}  // namespace velloran::image
