#include "image/compilation.h"

#include "drive/zbConst.h"
#include "platform/short_names.h"
#include "platform/ucs2.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define VELLORAN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELLORAN_ASAN 1
#endif
#endif
#ifdef VELLORAN_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace velloran::image {

namespace msg = drive::msg;
using platform::faDirectory;
using platform::TSearchRec;

namespace {

constexpr std::size_t kCreateDirShortLength = 13;

// The blocks TFEntry objects are taken from. A freed entry goes on a free
// list for the next one; when the last entry is gone, the blocks go back to
// the system. Under AddressSanitizer the slots not in use are poisoned, so
// a use of a freed entry is still caught.
class EntryPool {
 public:
  static EntryPool& Get() {
    // Never destroyed: entries held by static objects may be freed after
    // the end of main.
    static EntryPool* const pool = new EntryPool;
    return *pool;
  }

  void* Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    void* slot;
    if (free_) {
      slot = free_;
      Unpoison(slot, sizeof(Slot));
      free_ = *static_cast<void**>(slot);
    } else {
      if (blocks_.empty() || used_ == kSlotsPerBlock) {
        blocks_.emplace_back(new Slot[kSlotsPerBlock]);
        Poison(blocks_.back().get(), sizeof(Slot) * kSlotsPerBlock);
        used_ = 0;
      }
      slot = &blocks_.back()[used_++];
      Unpoison(slot, sizeof(Slot));
    }
    ++live_;
    return slot;
  }

  void Give(void* slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--live_ == 0) {
      for (auto& block : blocks_) Unpoison(block.get(), sizeof(Slot) * kSlotsPerBlock);
      blocks_.clear();
      free_ = nullptr;
      used_ = 0;
      return;
    }
    *static_cast<void**>(slot) = free_;
    free_ = slot;
    Poison(slot, sizeof(Slot));
  }

 private:
  struct alignas(TFEntry) Slot {
    unsigned char bytes[sizeof(TFEntry)];
  };
  static constexpr std::size_t kSlotsPerBlock = 4096;

  static void Poison([[maybe_unused]] void* p, [[maybe_unused]] std::size_t n) {
#ifdef VELLORAN_ASAN
    ASAN_POISON_MEMORY_REGION(p, n);
#endif
  }
  static void Unpoison([[maybe_unused]] void* p, [[maybe_unused]] std::size_t n) {
#ifdef VELLORAN_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<Slot[]>> blocks_;
  std::size_t used_ = 0;  // slots handed out of the last block
  void* free_ = nullptr;
  std::size_t live_ = 0;
};

std::string Format(const char* pattern, int value) {
  char buf[128];
  std::snprintf(buf, sizeof buf, pattern, value);
  return buf;
}

// ISO names in one directory must differ as readers show them: "ABC" (a
// directory) and "ABC." (a file without extension) are the same name there.
std::string_view IsoKey(std::string_view name) {
  while (name.size() > 1 && name.back() == '.') name.remove_suffix(1);
  return name;
}

// Directory records hold the offset from UTC in 15-minute units, from -48
// (12 hours west) to +52 (13 hours east).
std::int8_t ZoneQuarters(int minutesEast) {
  return static_cast<std::int8_t>(std::clamp(minutesEast / 15, -48, 52));
}

// Entries are at least 8-byte aligned: the low bit tells the name spaces
// apart.
std::uintptr_t ChangeKey(const TFEntry* entry, NameSpace space) {
  return reinterpret_cast<std::uintptr_t>(entry) | (space == NameSpace::Joliet ? 1u : 0u);
}

// Seconds between two moments, as an entry keeps them (a second is all
// Rock Ridge's short dates hold).
std::int32_t Delta(std::time_t from, std::time_t to) {
  if (from == 0 || to == 0) return 0;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(static_cast<std::int64_t>(to) - from, INT32_MIN, INT32_MAX));
}

void SetPosixAttributes(TFEntry& e, std::uint32_t mode, std::uint32_t uid, std::uint32_t gid, std::time_t time,
                        std::time_t atime, std::time_t ctime) {
  e.Mode = static_cast<std::uint16_t>(mode & 0xFFFF);
  e.Uid = uid;
  e.Gid = gid;
  e.AtimeDelta = Delta(time, atime);
  e.CtimeDelta = Delta(time, ctime);
}

std::string ParentOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const auto slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : p.substr(0, slash);
}

}  // namespace

struct Compilation::RemovalBatch {
  std::unordered_set<const TFEntry*> files;
  std::unordered_set<const TDEntry*> dirs;
};

std::time_t EntryTime(const TFEntry& entry) {
  platform::DateParts p{};
  if (!platform::DecodeDateTime(entry.Date, p)) return 0;
  // Days from 1899-12-30 to 1970-01-01: 25569.
  const auto localSeconds = static_cast<std::int64_t>(std::llround((entry.Date - 25569.0) * 86400.0));
  return static_cast<std::time_t>(localSeconds - std::int64_t{entry.ZoneOffset} * 15 * 60);
}

Compilation::Compilation() { ResetCompilation(kDefaultMaxFiles, kDefaultMaxDirs); }
Compilation::~Compilation() = default;

std::string Compilation::UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool Compilation::SplitPath(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t end = path.find_first_of("\\/", pos);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(pos, end - pos);
    if (part == "..") {
      if (names.empty()) return false;
      names.pop_back();
    } else if (!part.empty() && part != ".") {
      names.push_back(std::move(part));
    }
    pos = end + 1;
  }
  return true;
}

std::string Compilation::NormalisePath(const std::string& path) {
  std::vector<std::string> names;
  if (!SplitPath(path, names)) return {};
  std::string out;
  for (const auto& n : names) out += "\\" + n;
  return out.empty() ? "\\" : out;
}

bool Compilation::ValidName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

void Compilation::Debug(const std::string& message, std::uint8_t mType) const {
  if (Events.debug) Events.debug(message, mType);
}

void Compilation::Changed() {
  if (Events.changed) Events.changed();
}

void Compilation::ResetCompilation(int maxFiles, int maxDirs) {
  bias_ = platform::LocalBiasMinutes();
  byName_.Clear();
  byIso_.Clear();
  indexesAside_ = false;
  files_.clear();
  dirs_.clear();
  lastSourceFolder_ = nullptr;
  sourceFolders_.clear();
  nameChanges_.clear();
  nameChangeIndex_.clear();
  skipped_.clear();
  linkTargets_.clear();
  maxFiles_ = std::max(0, maxFiles);
  // Path table records name their parent with 16 bits.
  maxDirs_ = std::clamp(maxDirs, 1, 65535);
  totalRounded_ = 0;
  lastAdded_ = nullptr;
  auto root = std::make_unique<TDEntry>();
  root->IsoName = "CD_ROOT";
  root->JolietName = "CD Root Directory";
  root->Path = "\\";
  root->Depth = 1;
  root->Parent = root.get();
  dirs_.push_back(std::move(root));
  Changed();
}

std::string Compilation::UniqueShortName(TDEntry* dir, const std::string& longName, bool isDirectory) {
  const auto stem = platform::MakeShortNameStem(longName, isDirectory);
  unsigned& counter = dir->ShortNameCounters[stem.base + "." + stem.extension];
  for (unsigned n = std::max(counter, 1u);; ++n) {
    std::string candidate = platform::ComposeShortName(stem, n);
    if (!IsoNameInUse(dir, candidate)) {
      counter = n + 1;
      return candidate;
    }
  }
}

void* TFEntry::operator new(std::size_t size) {
  if (size != sizeof(TFEntry)) return ::operator new(size);
  return EntryPool::Get().Take();
}

void TFEntry::operator delete(void* entry, std::size_t size) noexcept {
  if (!entry) return;
  if (size != sizeof(TFEntry)) return ::operator delete(entry);
  EntryPool::Get().Give(entry);
}

TFEntry* Compilation::NewNode(TDEntry* dir) {
  // Filed again (when set aside) before the new entry, which its caller files.
  UseIndexes();
  auto node = std::make_unique<TFEntry>();
  TFEntry* raw = node.get();
  raw->Parent = dir;
  // Grown by a quarter at a time: doubled, the array of a large compilation
  // would stand up to half empty.
  if (files_.size() == files_.capacity()) files_.reserve(files_.size() + files_.size() / 4 + 64);
  files_.push_back(std::move(node));
  if (dir->LastChild)
    dir->LastChild->Next = raw;
  else
    dir->FirstChild = raw;
  dir->LastChild = raw;
  return raw;
}

TDEntry* Compilation::CreateDir(TDEntry* parent, const std::string& name, int attr) {
  std::string longName = name;
  if (!longName.empty() && (longName.front() == '\\' || longName.front() == '/')) longName.erase(0, 1);
  if (!longName.empty() && (longName.back() == '\\' || longName.back() == '/')) longName.pop_back();
  std::string shortName = UpperAscii(longName.substr(0, kCreateDirShortLength));
  for (char& c : shortName)
    if (static_cast<unsigned char>(c) < '!' || static_cast<unsigned char>(c) > 'z') c = '_';
  const std::time_t now = std::time(nullptr);
  return AddDirEntry(parent, TFoundDir{longName, shortName, attr, platform::UnixToDateTime(now), now});
}

TDEntry* Compilation::AddDirEntry(TDEntry* parent, const TFoundDir& found) {
  if (!parent) parent = Root();
  if (!ValidName(found.LongName)) {
    Debug(msg::INVALID_DESTINATION_PATH, 4);
    return nullptr;
  }
  if (TFEntry* existing = FindChild(parent, found.LongName, true)) return existing->Directory;
  if (static_cast<int>(dirs_.size()) >= maxDirs_) {
    Debug(std::string(">>> ") + Format(msg::MAXIMUM_DIRECTORIES, maxDirs_), 3);
    return nullptr;
  }
  if (static_cast<int>(files_.size()) >= maxFiles_) {
    Debug(Format(msg::MAXIMUM_FILES, maxFiles_), 3);
    return nullptr;
  }
  auto dir = std::make_unique<TDEntry>();
  TDEntry* d = dir.get();
  d->JolietName = found.LongName;
  d->IsoName = found.ShortName.empty() ? UpperAscii(found.LongName) : UpperAscii(found.ShortName);
  d->Path = (parent == Root() ? std::string() : parent->Path) + "\\" + found.LongName;
  d->Depth = static_cast<std::uint8_t>(std::min(255, parent->Depth + 1));
  d->Parent = parent;
  dirs_.push_back(std::move(dir));

  TFEntry* node = NewNode(parent);
  node->IsoName = d->IsoName;
  node->JolietName = d->JolietName;
  node->Attributes = found.Attr | faDirectory;
  platform::DateParts parts{};
  if (found.Date != 0 && platform::DecodeDateTime(found.Date, parts)) {
    node->Date = found.Date;
    node->ZoneOffset = ZoneQuarters(found.Time != 0 ? platform::UtcOffsetMinutesAt(found.Time)
                                                    : platform::UtcOffsetMinutesOfLocal(found.Date));
  } else {
    const std::time_t now = std::time(nullptr);
    node->Date = platform::Now();
    node->ZoneOffset = ZoneQuarters(platform::UtcOffsetMinutesAt(now));
  }
  SetPosixAttributes(*node, found.Mode, found.Uid, found.Gid, found.Time, found.Atime, found.Ctime);
  node->Directory = d;
  d->Node = node;
  IndexNames(node);
  Changed();
  return d;
}

TFEntry* Compilation::AddFileEntry(TDEntry* dir, const std::string& sourcePath, const TSearchRec& found,
                                   std::int32_t ownerTag, std::int64_t importedLba) {
  if (!dir) dir = Root();
  std::string longName = found.Name;
  if (!(found.Attr & faDirectory) && longName.find('.') == std::string::npos) longName += '.';
  TFEntry* existing = FindChild(dir, longName, false);

  std::string shortName;
  if (existing && existing->IsoName.size())
    shortName = existing->IsoName;
  else if (platform::FitsShortName(longName, false))
    shortName = UpperAscii(longName);
  else
    shortName = UniqueShortName(dir, longName, false);
  TDateTime date = found.Time != 0 ? platform::UnixToDateTime(found.Time) : platform::Now();
  const TDateTime givenDate = date;

  // Names longer than Joliet allows are shortened by the layout, as folder
  // names are: the handler is offered every file.
  bool skip = false;
  if (Events.addFile) Events.addFile(sourcePath, longName, shortName, date, found.Attr, found.Size, skip);
  if (skip) return nullptr;
  const std::string source = sourcePath.empty() ? DisplayPath(dir) + "/" + longName : sourcePath;
  if (!ValidName(longName)) {
    RecordSkip(source, "\"" + longName + "\" cannot be a file name on the disc");
    return nullptr;
  }
  if (longName != found.Name && longName.find('.') == std::string::npos) longName += '.';
  if (!existing || existing->JolietName != longName) existing = FindChild(dir, longName, false);
  if (existing && !ReplaceFile) {
    RecordSkip(source, "a file named \"" + longName + "\" is in " + DisplayPath(dir) + " already");
    return nullptr;
  }

  TFEntry* entry = existing;
  UseIndexes();
  if (entry) {
    if (!entry->Imported) totalRounded_ -= RoundToSector(entry->Size);
    byIso_.Erase(entry);
  } else {
    if (static_cast<int>(files_.size()) >= maxFiles_) {
      Debug(Format(msg::MAXIMUM_FILES, maxFiles_), 3);
      return nullptr;
    }
    entry = NewNode(dir);
    entry->JolietName = longName;
    byName_.Insert(entry, EntryIndex::Hash(dir, entry->JolietName));
  }
  entry->IsoName = UpperAscii(shortName);
  entry->Size = entry->JolietSize = found.Size;
  entry->Attributes = found.Attr & ~faDirectory;
  entry->Date = date;
  entry->ZoneOffset = ZoneQuarters(date == givenDate && found.Time != 0 ? platform::UtcOffsetMinutesAt(found.Time)
                                                                         : platform::UtcOffsetMinutesOfLocal(date));
  // A link has no data of its own: its target is all there is to record.
  const bool link = (found.Attr & platform::faSymLink) != 0;
  SetSource(entry, link ? std::string() : sourcePath);
  if (link) {
    entry->Size = entry->JolietSize = 0;
    linkTargets_[entry] = found.LinkTarget;
  } else if (!linkTargets_.empty()) {
    linkTargets_.erase(entry);
  }
  SetPosixAttributes(*entry, found.Mode, found.Uid, found.Gid, date == givenDate ? found.Time : 0, found.Atime,
                     found.Ctime);
  entry->OwnerTag = ownerTag;
  if (importedLba >= 0) {
    entry->Imported = true;
    entry->Extent = entry->JolietExtent = static_cast<std::int32_t>(importedLba);
  } else {
    entry->Imported = false;
    entry->Extent = entry->JolietExtent = 0;
    totalRounded_ += RoundToSector(entry->Size);
  }
  byIso_.Insert(entry, EntryIndex::Hash(dir, IsoKey(entry->IsoName)));
  lastAdded_ = entry;
  Changed();
  return entry;
}

TDEntry* Compilation::SourceDestination(const std::string& sourceDir, TDEntry* base) {
  // A path on disk: "/" alone separates its names.
  std::vector<std::string> names;
  std::size_t pos = 0;
  while (pos <= sourceDir.size()) {
    std::size_t end = sourceDir.find('/', pos);
    if (end == std::string::npos) end = sourceDir.size();
    std::string part = sourceDir.substr(pos, end - pos);
    if (part == "..") {
      if (!names.empty()) names.pop_back();
    } else if (!part.empty() && part != ".") {
      names.push_back(std::move(part));
    }
    pos = end + 1;
  }
  if (LastFolderOnly && names.size() > 1) names.erase(names.begin(), names.end() - 1);
  return ForceDirs(base ? base : Root(), names);
}

int Compilation::AddFile(const std::string& destPath, const std::string& sourceFile, bool useSourcePath) {
  TDEntry* dir = useSourcePath ? SourceDestination(ParentOf(sourceFile), nullptr) : FindDir(destPath);
  if (!dir) {
    Debug(msg::INVALID_DESTINATION_PATH, 4);
    return 0;
  }
  TSearchRec rec;
  if (!platform::StatPath(sourceFile, rec) || (rec.Attr & faDirectory)) return 255;
  AddFileEntry(dir, sourceFile, rec, 0);
  return 1;
}

int Compilation::AddFileAs(TDEntry* dir, const std::string& sourceFile, const std::string& longName) {
  if (!dir) {
    Debug(msg::INVALID_DESTINATION_PATH, 4);
    return 0;
  }
  TSearchRec rec;
  if (!platform::StatPath(sourceFile, rec) || (rec.Attr & faDirectory)) return 255;
  if (!longName.empty()) {
    rec.Name = longName;
    rec.Attr &= ~platform::faHidden;
    if (longName[0] == '.') rec.Attr |= platform::faHidden;
  }
  AddFileEntry(dir, sourceFile, rec, 0);
  return 1;
}

int Compilation::AddFolder(TDEntry* destDir, const std::string& sourceFolder, bool archiveOnly, bool useSourcePath,
                           bool recurse, int attrMask, const std::string& mask) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ancestors;
  TSearchRec self;
  if (platform::StatPath(sourceFolder, self)) ancestors.emplace_back(self.Device, self.Inode);
  return AddFolderImpl(destDir, sourceFolder, archiveOnly, useSourcePath, recurse, attrMask, mask, ancestors);
}

int Compilation::AddFolderImpl(TDEntry* destDir, const std::string& sourceFolder, bool archiveOnly,
                               bool useSourcePath, bool recurse, int attrMask, const std::string& mask,
                               std::vector<std::pair<std::uint64_t, std::uint64_t>>& ancestors) {
  std::string folder = sourceFolder;
  if (folder.empty() || folder.back() != '/') folder += '/';
  const std::string fileMask = mask.empty() ? "*.*" : mask;
  if (useSourcePath) destDir = SourceDestination(folder, destDir);
  if (!destDir) {
    Debug(msg::INVALID_DESTINATION_PATH, 4);
    return 0;
  }
  const auto reportSkip = [this](const std::string& path, const char* why) { RecordSkip(path, why); };
  int result = 1;
  // With the mask and attributes that take everything, the listing made to
  // find the subfolders is also the list of files: each folder is read (and
  // each of its entries examined) once, which is half the walk of a folder
  // of many files.
  const bool takesAll = attrMask == platform::faAnyFile && (fileMask == "*.*" || fileMask == "*");
  std::vector<TSearchRec> entries;
  bool listed = false;
  if (recurse) {
    std::vector<TSearchRec> subdirs;
    const bool read = platform::FindFiles(folder, "*.*", platform::faAnyFile, subdirs, reportSkip, RecordLinks);
    for (auto& sub : subdirs) {
      if (!(sub.Attr & faDirectory)) continue;
      const std::pair<std::uint64_t, std::uint64_t> id{sub.Device, sub.Inode};
      if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end()) {
        reportSkip(folder + sub.Name, "link loop");
        continue;
      }
      std::string longName = sub.Name;
      std::string shortName = platform::FitsShortName(longName, true) ? UpperAscii(longName)
                                                                       : UniqueShortName(destDir, longName, true);
      bool skip = false;
      if (Events.addDir) Events.addDir(longName, shortName, skip);
      if (skip) continue;
      const bool existed = FindChild(destDir, sub.Name, true) != nullptr;
      TDEntry* child = AddDirEntry(destDir, TFoundDir{sub.Name, shortName, sub.Attr, platform::UnixToDateTime(sub.Time),
                                                      sub.Time, sub.Mode, sub.Uid, sub.Gid, sub.Atime, sub.Ctime});
      if (!child) return 0;
      ancestors.push_back(id);
      AddFolderImpl(child, folder + sub.Name, archiveOnly, false, recurse, attrMask, mask, ancestors);
      ancestors.pop_back();
      // A folder whose every entry was filtered out is not recorded; a folder
      // that is empty on disk is, as the user sees it there.
      if (!existed && child->FirstChild == nullptr) {
        std::vector<TSearchRec> probe;
        platform::FindFiles(folder + sub.Name, "*.*", platform::faAnyFile, probe);
        if (!probe.empty()) RemoveDir(child);
      }
    }
    if (read && takesAll) {
      entries = std::move(subdirs);
      listed = true;
    }
  }
  if (!listed && !platform::FindFiles(folder, fileMask, attrMask, entries,
                                      recurse ? nullptr : platform::SkipReporter(reportSkip), RecordLinks)) {
    Debug(">>> " + folder + " cannot be read", 0);
    skipped_.push_back(TSkippedEntry{folder, "cannot be read"});
    return 0;
  }
  for (auto& rec : entries) {
    if (rec.Attr & faDirectory) continue;
    if (archiveOnly && !(rec.Attr & platform::faArchive)) continue;
    if ((rec.Attr & platform::faSymLink) && rec.LinkTarget.size() > kMaxLinkTarget) {
      RecordSkip(folder + rec.Name, "link whose target is longer than 1023 bytes");
      continue;
    }
    result = AddFileEntry(destDir, folder + rec.Name, rec, archiveOnly ? 1 : 0) ? 1 : 0;
  }
  return result;
}

TDEntry* Compilation::ForceDirs(const std::string& path) {
  std::vector<std::string> names;
  if (!SplitPath(path, names)) {
    Debug(msg::INVALID_DESTINATION_PATH, 4);
    return nullptr;
  }
  return ForceDirs(Root(), names);
}

TDEntry* Compilation::ForceDirs(TDEntry* base, const std::vector<std::string>& names) {
  TDEntry* cur = base ? base : Root();
  for (const auto& name : names) {
    TFEntry* node = FindChild(cur, name, true);
    TDEntry* next = node ? node->Directory : CreateDir(cur, name, faDirectory);
    if (!next) return nullptr;
    cur = next;
  }
  return cur;
}

TDEntry* Compilation::FindDirIn(const TDEntry* dir, const std::string& name) const {
  if (TFEntry* exact = FindChild(dir, name, true)) return exact->Directory;
  const std::string upper = UpperAscii(name);
  for (TFEntry* c = dir->FirstChild; c; c = c->Next)
    if (c->Directory && UpperAscii(c->JolietName) == upper) return c->Directory;
  return nullptr;
}

TDEntry* Compilation::FindDir(const std::string& path) const {
  std::vector<std::string> names;
  if (!SplitPath(path, names)) return nullptr;
  const TDEntry* cur = Root();
  for (const auto& name : names) {
    cur = FindDirIn(cur, name);
    if (!cur) return nullptr;
  }
  return const_cast<TDEntry*>(cur);
}

TFEntry* Compilation::FindChild(const TDEntry* dir, const std::string& longName, bool directory) const {
  if (!dir) return nullptr;
  UseIndexes();
  return byName_.Find(EntryIndex::Hash(dir, longName), [&](const TFEntry* e) {
    return e->Parent == dir && e->IsDirectory() == directory && e->JolietName == longName;
  });
}

TFEntry* Compilation::FindFile(const TDEntry* dir, const std::string& longName) const {
  if (!dir) return nullptr;
  // A file and a folder of one name: the one added first.
  TFEntry* file = FindChild(dir, longName, false);
  TFEntry* folder = FindChild(dir, longName, true);
  if (file && folder) {
    for (TFEntry* c = dir->FirstChild; c; c = c->Next)
      if (c == file || c == folder) return c;
  }
  if (file || folder) return file ? file : folder;
  const std::string upper = UpperAscii(longName);
  for (TFEntry* c = dir->FirstChild; c; c = c->Next)
    if (UpperAscii(c->JolietName) == upper) return c;
  return nullptr;
}

void Compilation::SetSource(TFEntry* entry, const std::string& sourcePath) {
  const std::size_t slash = sourcePath.rfind('/');
  if (slash == std::string::npos) {
    entry->SourceFolder = nullptr;
    entry->SourceName = sourcePath;
    return;
  }
  // Files come folder by folder: the last folder is usually the one.
  const std::string_view folder(sourcePath.data(), slash + 1);
  if (!lastSourceFolder_ || *lastSourceFolder_ != folder)
    lastSourceFolder_ = &*sourceFolders_.emplace(folder).first;
  entry->SourceFolder = lastSourceFolder_;
  entry->SourceName.assign(sourcePath, slash + 1);
}

void Compilation::SetIndexesAside() {
  byName_.Clear();
  byIso_.Clear();
  indexesAside_ = true;
}

void Compilation::UseIndexes() const {
  if (!indexesAside_) return;
  indexesAside_ = false;
  byName_.Refile(files_);
  byIso_.Refile(files_);
}

void Compilation::IndexNames(TFEntry* child) {
  UseIndexes();
  byName_.Insert(child, EntryIndex::Hash(child->Parent, child->JolietName));
  byIso_.Insert(child, EntryIndex::Hash(child->Parent, IsoKey(child->IsoName)));
}

void Compilation::UnindexNames(const TFEntry* child) {
  UseIndexes();
  byName_.Erase(child);
  byIso_.Erase(child);
}

void Compilation::SetJolietName(TFEntry* child, const std::string& name) {
  UseIndexes();
  byName_.Erase(child);
  child->JolietName = name;
  if (child->Directory) child->Directory->JolietName = name;
  byName_.Insert(child, EntryIndex::Hash(child->Parent, child->JolietName));
}

void Compilation::SetIsoName(TFEntry* child, const std::string& name) {
  UseIndexes();
  byIso_.Erase(child);
  child->IsoName = name;
  if (child->Directory) child->Directory->IsoName = name;
  byIso_.Insert(child, EntryIndex::Hash(child->Parent, IsoKey(child->IsoName)));
}

bool Compilation::IsoNameInUse(const TDEntry* dir, const std::string& isoName, const TFEntry* except) const {
  const std::string_view key = IsoKey(isoName);
  UseIndexes();
  return byIso_.Find(EntryIndex::Hash(dir, key), [&](const TFEntry* e) {
    return e != except && e->Parent == dir && IsoKey(e->IsoName) == key;
  }) != nullptr;
}

void Compilation::Unlink(TFEntry* child) {
  TDEntry* dir = child->Parent;
  TFEntry* prev = nullptr;
  for (TFEntry* e = dir->FirstChild; e && e != child; e = e->Next) prev = e;
  if (prev)
    prev->Next = child->Next;
  else
    dir->FirstChild = child->Next;
  if (dir->LastChild == child) dir->LastChild = prev;
  UnindexNames(child);
}

void Compilation::CollectRemoval(TDEntry* dir, RemovalBatch& batch) {
  for (TFEntry* c = dir->FirstChild; c; c = c->Next) {
    if (c->Directory) CollectRemoval(c->Directory, batch);
    batch.files.insert(c);
  }
  batch.dirs.insert(dir);
}

void Compilation::ApplyRemoval(RemovalBatch& batch) {
  for (const TFEntry* f : batch.files) {
    if (!f->IsDirectory() && !f->Imported) totalRounded_ -= RoundToSector(f->Size);
    UnindexNames(f);
  }
  if (batch.files.count(lastAdded_)) lastAdded_ = nullptr;
  if (!linkTargets_.empty())
    std::erase_if(linkTargets_, [&](const auto& link) { return batch.files.count(link.first) != 0; });
  if (!nameChanges_.empty()) {
    std::erase_if(nameChanges_, [&](const TNameChange& c) { return batch.files.count(c.Entry) != 0; });
    nameChangeIndex_.clear();
    for (std::size_t i = 0; i < nameChanges_.size(); ++i)
      nameChangeIndex_.emplace(ChangeKey(nameChanges_[i].Entry, nameChanges_[i].Space), i);
  }
  std::erase_if(files_, [&](const std::unique_ptr<TFEntry>& f) { return batch.files.count(f.get()) != 0; });
  std::erase_if(dirs_, [&](const std::unique_ptr<TDEntry>& d) { return batch.dirs.count(d.get()) != 0; });
  Changed();
}

bool Compilation::RemoveDir(TDEntry* dir) {
  if (!dir || dir == Root() || !dir->Node) return false;
  RemovalBatch batch;
  Unlink(dir->Node);
  batch.files.insert(dir->Node);
  CollectRemoval(dir, batch);
  ApplyRemoval(batch);
  return true;
}

bool Compilation::RemoveFile(const std::string& dirPath, const std::string& longName) {
  return RemoveEntry(FindFile(FindDir(dirPath), longName));
}

bool Compilation::RemoveEntry(TFEntry* child) {
  if (!child) return false;
  if (child->Directory) return RemoveDir(child->Directory);
  RemovalBatch batch;
  Unlink(child);
  batch.files.insert(child);
  ApplyRemoval(batch);
  return true;
}

std::size_t Compilation::EntriesRenamed() const {
  std::size_t n = 0;
  for (const TNameChange& c : nameChanges_)
    // An entry changed in both spaces counts once, by its ISO record.
    if (c.Space == NameSpace::Iso || !NameChangeOf(c.Entry, NameSpace::Iso)) ++n;
  return n;
}

const TNameChange* Compilation::NameChangeOf(const TFEntry* entry, NameSpace space) const {
  auto it = nameChangeIndex_.find(ChangeKey(entry, space));
  return it == nameChangeIndex_.end() ? nullptr : &nameChanges_[it->second];
}

void Compilation::RecordNameChange(const TFEntry* entry, NameSpace space, const std::string& from,
                                   std::uint8_t reasons) {
  auto [it, added] = nameChangeIndex_.emplace(ChangeKey(entry, space), nameChanges_.size());
  if (!added) {
    nameChanges_[it->second].Reasons |= reasons;
    return;
  }
  nameChanges_.push_back(TNameChange{entry, from, space, reasons});
}

void Compilation::RecordSkip(const std::string& source, const std::string& why) {
  Debug(">>> " + source + " passed over: " + why, 1);
  skipped_.push_back(TSkippedEntry{source, why});
}

const std::string* Compilation::LinkTarget(const TFEntry* entry) const {
  if (linkTargets_.empty()) return nullptr;
  auto it = linkTargets_.find(entry);
  return it == linkTargets_.end() ? nullptr : &it->second;
}

std::string Compilation::GivenName(const TFEntry* entry) const {
  if (const TNameChange* c = NameChangeOf(entry, NameSpace::Joliet)) return c->From;
  return entry->JolietName;
}

std::string Compilation::DisplayPath(const TDEntry* dir) const {
  std::vector<const TDEntry*> chain;
  for (const TDEntry* d = dir; d && d != Root() && d->Node; d = d->Parent) chain.push_back(d);
  if (chain.empty()) return "/";
  std::string out;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) out += "/" + GivenName((*it)->Node);
  return out;
}

namespace {

std::int64_t SizeBelow(const std::string& path, std::vector<std::pair<std::uint64_t, std::uint64_t>>& ancestors) {
  std::vector<TSearchRec> entries;
  platform::FindFiles(path, "*.*", platform::faAnyFile, entries);
  std::string prefix = path;
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  std::int64_t total = 0;
  for (const auto& e : entries) {
    if (!(e.Attr & faDirectory)) {
      total += e.Size;
      continue;
    }
    const std::pair<std::uint64_t, std::uint64_t> id{e.Device, e.Inode};
    if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end()) continue;  // link loop
    ancestors.push_back(id);
    total += SizeBelow(prefix + e.Name, ancestors);
    ancestors.pop_back();
  }
  return total;
}

}  // namespace

std::int64_t Compilation::FolderSize(const std::string& path) const {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ancestors;
  TSearchRec self;
  if (platform::StatPath(path, self)) ancestors.emplace_back(self.Device, self.Inode);
  return SizeBelow(path, ancestors);
}

}  // namespace velloran::image
