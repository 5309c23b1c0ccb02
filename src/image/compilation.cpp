#include "image/compilation.h"

#include "drive/zbConst.h"
#include "platform/short_names.h"
#include "platform/ucs2.h"

#include <algorithm>
#include <cstdio>

namespace velloran::image {

namespace msg = drive::msg;
using platform::faDirectory;
using platform::TSearchRec;

namespace {

constexpr std::size_t kSkipNameLength = 110;  // UTF-16 units; longer names cannot be recorded
constexpr std::size_t kCreateDirShortLength = 13;

std::string Format(const char* pattern, int value) {
  char buf[128];
  std::snprintf(buf, sizeof buf, pattern, value);
  return buf;
}

// ISO names in one directory must differ as readers show them: "ABC" (a
// directory) and "ABC." (a file without extension) are the same name there.
std::string IsoKey(std::string name) {
  while (name.size() > 1 && name.back() == '.') name.pop_back();
  return name;
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

Compilation::Compilation() { ResetCompilation(kDefaultMaxFiles, kDefaultMaxDirs); }
Compilation::~Compilation() = default;

std::string Compilation::UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string Compilation::NormalisePath(const std::string& path) {
  std::string p = path;
  std::replace(p.begin(), p.end(), '/', '\\');
  // Collapse repeated separators so "\\docs" and "\docs\" name one directory.
  std::string out;
  for (char c : p) {
    if (c == '\\' && !out.empty() && out.back() == '\\') continue;
    out += c;
  }
  if (out.empty() || out[0] != '\\') out.insert(out.begin(), '\\');
  while (out.size() > 1 && out.back() == '\\') out.pop_back();
  return out;
}

void Compilation::Debug(const std::string& message, std::uint8_t mType) const {
  if (Events.debug) Events.debug(message, mType);
}

void Compilation::Changed() {
  if (Events.changed) Events.changed();
}

void Compilation::ResetCompilation(int maxFiles, int maxDirs) {
  bias_ = platform::LocalBiasMinutes();
  files_.clear();
  dirs_.clear();
  dirsByPath_.clear();
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
    if (!dir->IsoNamesInUse.count(IsoKey(candidate))) {
      counter = n + 1;
      return candidate;
    }
  }
}

TFEntry* Compilation::NewNode(TDEntry* dir) {
  auto node = std::make_unique<TFEntry>();
  TFEntry* raw = node.get();
  raw->Parent = dir;
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
  return AddDirEntry(parent, TFoundDir{longName, shortName, attr, platform::Now()});
}

TDEntry* Compilation::AddDirEntry(TDEntry* parent, const TFoundDir& found) {
  if (!parent) parent = Root();
  if (found.LongName.empty()) return nullptr;
  std::string path = parent->Path + "\\" + found.LongName;
  if (path.rfind("\\\\", 0) == 0) path.erase(0, 1);
  const std::string upper = UpperAscii(path);
  if (auto it = dirsByPath_.find(upper); it != dirsByPath_.end()) return it->second;
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
  d->Path = upper;
  d->Depth = static_cast<std::uint8_t>(std::min(255, parent->Depth + 1));
  d->Parent = parent;
  dirs_.push_back(std::move(dir));
  dirsByPath_.emplace(upper, d);

  TFEntry* node = NewNode(parent);
  node->IsoName = d->IsoName;
  node->JolietName = d->JolietName;
  node->Attributes = found.Attr | faDirectory;
  platform::DateParts parts{};
  node->Date = (found.Date != 0 && platform::DecodeDateTime(found.Date, parts)) ? found.Date : platform::Now();
  node->Directory = d;
  d->Node = node;
  parent->ChildrenByName.emplace(UpperAscii(node->JolietName), node);
  parent->IsoNamesInUse.insert(IsoKey(node->IsoName));
  Changed();
  return d;
}

TFEntry* Compilation::AddFileEntry(TDEntry* dir, const std::string& sourcePath, const TSearchRec& found,
                                   std::int32_t ownerTag, std::int64_t importedLba) {
  if (!dir) dir = Root();
  std::string longName = found.Name;
  if (!(found.Attr & faDirectory) && longName.find('.') == std::string::npos) longName += '.';
  TFEntry* existing = FindFile(dir, longName);

  std::string shortName;
  if (existing && existing->IsoName.size() && !existing->IsDirectory())
    shortName = existing->IsoName;
  else if (platform::FitsShortName(longName, false))
    shortName = UpperAscii(longName);
  else
    shortName = UniqueShortName(dir, longName, false);
  TDateTime date = found.Time != 0 ? platform::UnixToDateTime(found.Time) : platform::Now();

  bool skip = platform::Utf8ToUtf16(longName).size() >= kSkipNameLength;
  if (Events.addFile) Events.addFile(sourcePath, longName, shortName, date, found.Attr, found.Size, skip);
  if (skip || longName.empty()) return nullptr;
  if (longName != found.Name && longName.find('.') == std::string::npos) longName += '.';
  if (platform::Utf8ToUtf16(longName).size() >= kSkipNameLength) return nullptr;  // a handler made it too long
  if (existing != FindFile(dir, longName)) existing = FindFile(dir, longName);
  if (existing && existing->IsDirectory()) return nullptr;  // a file never replaces a folder
  if (existing && !ReplaceFile) return nullptr;

  TFEntry* entry = existing;
  if (entry) {
    if (!entry->Imported) totalRounded_ -= RoundToSector(entry->Size);
    dir->IsoNamesInUse.erase(IsoKey(entry->IsoName));
    dir->ChildrenByName.erase(UpperAscii(entry->JolietName));
  } else {
    if (static_cast<int>(files_.size()) >= maxFiles_) {
      Debug(Format(msg::MAXIMUM_FILES, maxFiles_), 3);
      return nullptr;
    }
    entry = NewNode(dir);
  }
  entry->IsoName = UpperAscii(shortName);
  entry->JolietName = longName;
  entry->Size = entry->JolietSize = found.Size;
  entry->Attributes = found.Attr & ~faDirectory;
  entry->Date = date;
  entry->SourcePath = sourcePath;
  entry->OwnerTag = ownerTag;
  if (importedLba >= 0) {
    entry->Imported = true;
    entry->Extent = entry->JolietExtent = static_cast<std::int32_t>(importedLba);
  } else {
    entry->Imported = false;
    entry->Extent = entry->JolietExtent = 0;
    totalRounded_ += RoundToSector(found.Size);
  }
  dir->IsoNamesInUse.insert(IsoKey(entry->IsoName));
  dir->ChildrenByName[UpperAscii(entry->JolietName)] = entry;
  lastAdded_ = entry;
  Changed();
  return entry;
}

TDEntry* Compilation::SourceDestination(const std::string& sourceDir, const TDEntry* base) {
  std::string path = NormalisePath(sourceDir);
  if (LastFolderOnly) path = path.substr(path.rfind('\\'));
  if (base && base != Root() && path != "\\") path = base->Path + path;
  else if (base && base != Root()) path = base->Path;
  return ForceDirs(path);
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
  const auto reportSkip = [this](const std::string& path, const char* why) {
    Debug(">>> " + path + " passed over: " + why, 1);
  };
  int result = 1;
  if (recurse) {
    std::vector<TSearchRec> subdirs;
    platform::FindFiles(folder, "*.*", platform::faAnyFile, subdirs, reportSkip);
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
      const std::string upperPath = UpperAscii(destDir->Path == "\\" ? "\\" + sub.Name : destDir->Path + "\\" + sub.Name);
      const bool existed = dirsByPath_.count(upperPath) != 0;
      TDEntry* child = AddDirEntry(destDir, TFoundDir{sub.Name, shortName, sub.Attr, platform::UnixToDateTime(sub.Time)});
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
  }
  std::vector<TSearchRec> entries;
  if (!platform::FindFiles(folder, fileMask, attrMask, entries, recurse ? nullptr : platform::SkipReporter(reportSkip))) {
    Debug(">>> " + folder + " cannot be read", 0);
    return 0;
  }
  for (auto& rec : entries) {
    if (rec.Attr & faDirectory) continue;
    if (archiveOnly && !(rec.Attr & platform::faArchive)) continue;
    result = AddFileEntry(destDir, folder + rec.Name, rec, archiveOnly ? 1 : 0) ? 1 : 0;
  }
  return result;
}

TDEntry* Compilation::ForceDirs(const std::string& path) {
  const std::string norm = NormalisePath(path);
  TDEntry* cur = Root();
  std::size_t pos = 1;
  while (pos < norm.size()) {
    std::size_t end = norm.find('\\', pos);
    if (end == std::string::npos) end = norm.size();
    const std::string part = norm.substr(pos, end - pos);
    TDEntry* next = FindDir(cur->Path == "\\" ? "\\" + part : cur->Path + "\\" + part);
    if (!next) next = CreateDir(cur, part, faDirectory);
    if (!next) return nullptr;
    cur = next;
    pos = end + 1;
  }
  return cur;
}

TDEntry* Compilation::FindDir(const std::string& path) const {
  const std::string norm = NormalisePath(path);
  if (norm == "\\") return Root();
  auto it = dirsByPath_.find(UpperAscii(norm));
  return it == dirsByPath_.end() ? nullptr : it->second;
}

TFEntry* Compilation::FindFile(const TDEntry* dir, const std::string& longName) const {
  if (!dir) return nullptr;
  auto it = dir->ChildrenByName.find(UpperAscii(longName));
  return it == dir->ChildrenByName.end() ? nullptr : it->second;
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
  auto it = dir->ChildrenByName.find(UpperAscii(child->JolietName));
  if (it != dir->ChildrenByName.end() && it->second == child) dir->ChildrenByName.erase(it);
  dir->IsoNamesInUse.erase(IsoKey(child->IsoName));
}

void Compilation::CollectRemoval(TDEntry* dir, RemovalBatch& batch) {
  for (TFEntry* c = dir->FirstChild; c; c = c->Next) {
    if (c->Directory) CollectRemoval(c->Directory, batch);
    batch.files.insert(c);
  }
  batch.dirs.insert(dir);
}

void Compilation::ApplyRemoval(RemovalBatch& batch) {
  for (const TFEntry* f : batch.files)
    if (!f->IsDirectory() && !f->Imported) totalRounded_ -= RoundToSector(f->Size);
  for (const TDEntry* d : batch.dirs) dirsByPath_.erase(d->Path);
  if (batch.files.count(lastAdded_)) lastAdded_ = nullptr;
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
  TDEntry* dir = FindDir(dirPath);
  TFEntry* child = FindFile(dir, longName);
  if (!child) return false;
  if (child->Directory) return RemoveDir(child->Directory);
  RemovalBatch batch;
  Unlink(child);
  batch.files.insert(child);
  ApplyRemoval(batch);
  return true;
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
