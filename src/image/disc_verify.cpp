#include "image/disc_verify.h"

#include "image/iso_names.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace velloran::image {

namespace {

namespace vmsg {
constexpr const char* NO_FILE_SYSTEM = "NO %s VOLUME DESCRIPTOR FROM SECTOR %u";
constexpr const char* MISSING = "MISSING FROM THE %s TREE";
constexpr const char* FILE_NOT_FOLDER = "A FILE ON THE DISC WHERE A FOLDER WAS RECORDED (%s)";
constexpr const char* FOLDER_NOT_FILE = "A FOLDER ON THE DISC WHERE A FILE WAS RECORDED (%s)";
constexpr const char* SIZE = "%" PRIu64 " BYTES ON THE DISC, %" PRId64 " EXPECTED (%s)";
constexpr const char* EXTENT = "AT SECTOR %u ON THE DISC, LAID OUT AT SECTOR %u (%s)";
constexpr const char* SPLIT = "THE ISO 9660 AND JOLIET RECORDS POINT AT DIFFERENT DATA";
constexpr const char* CONTENT = "CONTENT DIFFERS FROM WHAT WAS RECORDED";
constexpr const char* CONTENT_SOURCE = "CONTENT DIFFERS FROM THE SOURCE FILE \"%s\"";
constexpr const char* UNREADABLE = "SECTOR %u CANNOT BE READ";
constexpr const char* SOURCE_CHANGED = "THE SOURCE FILE \"%s\" CHANGED WHILE THE DISC WAS WRITTEN";
constexpr const char* SOURCE_UNREADABLE = "THE SOURCE FILE \"%s\" CANNOT BE READ";
constexpr const char* NOT_EXPECTED = "ON THE DISC BUT NOT IN THE COMPILATION";
constexpr const char* STOPPED = "TOO MANY SECTORS CANNOT BE READ: VERIFICATION STOPPED";
constexpr const char* BLOCKS = "SECTORS %u TO %u DIFFER FROM THE IMAGE";
constexpr const char* BLOCK_UNREADABLE = "SECTORS %u TO %u CANNOT BE READ";
constexpr const char* TREE = "%s TREE: %s";
}  // namespace vmsg

constexpr const char* kIso = "ISO 9660";
constexpr const char* kJoliet = "JOLIET";

template <typename... Args>
std::string Format(const char* format, Args... args) {
  const int n = std::snprintf(nullptr, 0, format, args...);
  std::string s(static_cast<std::size_t>(std::max(n, 0)) + 1, '\0');
  std::snprintf(s.data(), s.size(), format, args...);
  s.resize(static_cast<std::size_t>(std::max(n, 0)));
  return s;
}

// The identifiers from the root to the entry (the root excluded). In the
// ISO 9660 tree a folder Rock Ridge moved (moved set) hangs below the
// relocation folder; from = the entry's own folder to start from instead of
// the one it is in.
std::vector<std::string> Identifiers(const TFEntry& f, bool joliet, const TRelocation* moved = nullptr,
                                     const TDEntry* from = nullptr) {
  const auto parentOf = [moved](const TDEntry* d) {
    return moved && moved->Moved.count(d) ? &moved->Dir : d->Parent;
  };
  std::vector<std::string> ids;
  ids.push_back(joliet ? JolietRecordIdentifier(f) : IsoRecordIdentifier(f));
  for (const TDEntry* d = from ? from : f.Parent; d && d->Parent && d->Parent != d && d->Node; d = parentOf(d))
    ids.push_back(joliet ? JolietRecordIdentifier(*d->Node) : IsoRecordIdentifier(*d->Node));
  std::reverse(ids.begin(), ids.end());
  return ids;
}

bool SameExtents(const TDiscEntry& a, const TDiscEntry& b) {
  if (a.Extents.size() != b.Extents.size()) return false;
  for (std::size_t i = 0; i < a.Extents.size(); ++i)
    if (a.Extents[i].Lba != b.Extents[i].Lba || a.Extents[i].Bytes != b.Extents[i].Bytes) return false;
  return true;
}

bool HashFile(const std::string& path, platform::TDigest& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  platform::Sha256 hash;
  std::vector<std::uint8_t> buf(1 << 20);
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    hash.Update(buf.data(), static_cast<std::size_t>(n));
  }
  ::close(fd);
  out = hash.Final();
  return true;
}

}  // namespace

std::string MismatchLine(const TVerifyMismatch& m) {
  const std::string iso = m.IsoPath.empty() ? "-" : "/" + m.IsoPath;
  const std::string joliet = m.JolietPath.empty() ? "-" : "/" + m.JolietPath;
  if (m.IsoPath.empty() && m.JolietPath.empty()) return m.Text;
  return iso + " | " + joliet + ": " + m.Text;
}

std::string VerifyFailure(const std::vector<TVerifyMismatch>& mismatches) {
  if (mismatches.empty()) return {};
  std::unordered_map<std::string, bool> files;
  for (const TVerifyMismatch& m : mismatches)
    if (!m.IsoPath.empty() || !m.JolietPath.empty()) files[m.IsoPath + '\n' + m.JolietPath] = true;
  if (files.empty()) return Format(verify_msg::FAILED, mismatches.front().Text.c_str());
  return Format(verify_msg::FAILED_FILES, static_cast<int>(files.size()));
}

std::vector<TExpectedEntry> ExpectedEntries(const Compilation& compilation, bool joliet, const TLayout* layout,
                                            const TImagePlan* plan, const std::vector<platform::TDigest>* digests,
                                            const TSourceStamps* stamps, const TRelocation* relocation) {
  const TRelocation* moved = layout ? layout->Relocation.get() : relocation;
  std::unordered_map<const TFEntry*, const platform::TDigest*> digestOf;
  if (plan && digests && digests->size() == plan->Files.size())
    for (std::size_t i = 0; i < plan->Files.size(); ++i) digestOf[plan->Files[i].Entry] = &(*digests)[i];
  std::vector<TExpectedEntry> out;
  out.reserve(compilation.Files().size());
  for (const auto& fp : compilation.Files()) {
    const TFEntry& f = *fp;
    TExpectedEntry e;
    const bool wasMoved = moved && f.Directory && moved->Moved.count(f.Directory);
    e.IsoPath = DiscPath(Identifiers(f, false, moved, wasMoved ? &moved->Dir : nullptr), false);
    if (joliet) e.JolietPath = DiscPath(Identifiers(f, true), true);
    e.Directory = f.IsDirectory();
    if (!e.Directory) {
      e.Size = f.Size;
      if (layout) {
        e.LbaKnown = true;
        e.Lba = f.Imported ? static_cast<std::uint32_t>(f.Extent)
                           : (f.Size ? layout->FirstFile + static_cast<std::uint32_t>(f.Extent) : 0);
      }
      if (auto it = digestOf.find(&f); it != digestOf.end()) {
        e.HasDigest = true;
        e.Digest = *it->second;
      } else if (!layout && !f.Imported && !f.SourceName.empty() && f.Size > 0) {
        e.HashSource = true;
      }
      e.SourcePath = f.SourcePath();
      if (stamps && !f.Imported) {
        if (auto it = stamps->find(&f); it != stamps->end()) {
          TSourceStamp now;
          e.SourceChanged = !StampOf(f.SourcePath(), now) || !(now == it->second);
        }
      }
    }
    out.push_back(std::move(e));
    if (wasMoved) {
      // Where it was, ISO 9660 readers find an empty file.
      TExpectedEntry placeholder;
      placeholder.IsoPath = DiscPath(Identifiers(f, false, moved), false);
      out.push_back(std::move(placeholder));
    }
  }
  if (moved) {
    TExpectedEntry folder;
    folder.IsoPath = DiscPath({IsoRecordIdentifier(moved->Node)}, false);
    folder.Directory = true;
    out.push_back(std::move(folder));
  }
  return out;
}

struct TVerifier::Job {
  const TExpectedEntry* expected;
  std::vector<TDiscExtent> extents;
  std::uint64_t size;
};

TVerifier::TVerifier(BlockReader read) : read_(std::move(read)), buffer_(kChunkSectors * kSectorSize) {}

bool TVerifier::Stop() {
  if (stopped_) return true;
  if (Cancelled && Cancelled()) {
    cancelled_ = true;
    stopped_ = true;
  }
  return stopped_;
}

void TVerifier::Progress(std::int64_t bytes) {
  done_ += bytes;
  if (OnProgress) OnProgress(std::min(done_, total_), total_);
}

bool TVerifier::ReadRun(std::uint32_t lba, std::uint32_t sectors, std::uint8_t* out, std::uint32_t& badLba) {
  if (read_(lba, sectors, out)) return true;
  // Find the sector that fails; a run that reads sector by sector was a
  // passing failure of the drive.
  for (std::uint32_t i = 0; i < sectors; ++i) {
    if (!read_(lba + i, 1, out + std::size_t{i} * kSectorSize)) {
      badLba = lba + i;
      return false;
    }
  }
  return true;
}

void TVerifier::ReadFile(const Job& job, std::vector<TVerifyMismatch>& out) {
  const TExpectedEntry& e = *job.expected;
  auto report = [&](TVerifyProblem problem, std::string text) {
    out.push_back({e.IsoPath, e.JolietPath, problem, std::move(text)});
  };
  platform::Sha256 hash;
  std::uint64_t left = job.size;
  std::int64_t planned = 0;
  for (const TDiscExtent& x : job.extents) planned += (std::int64_t{x.Bytes} + kSectorSize - 1) / kSectorSize * kSectorSize;
  std::int64_t readBytes = 0;
  for (const TDiscExtent& x : job.extents) {
    std::uint64_t bytes = std::min<std::uint64_t>(x.Bytes, left);
    std::uint32_t lba = x.Lba;
    std::uint32_t sectors = static_cast<std::uint32_t>((std::uint64_t{x.Bytes} + kSectorSize - 1) / kSectorSize);
    while (sectors > 0) {
      if (Stop()) return;
      const std::uint32_t n = std::min(sectors, kChunkSectors);
      std::uint32_t bad = 0;
      if (!ReadRun(lba, n, buffer_.data(), bad)) {
        report(TVerifyProblem::Unreadable, Format(vmsg::UNREADABLE, bad));
        Progress(planned - readBytes);
        if (++unreadable_ >= MaxUnreadable) {
          out.push_back({{}, {}, TVerifyProblem::Stopped, vmsg::STOPPED});
          stopped_ = true;
        }
        return;
      }
      const std::uint64_t use = std::min<std::uint64_t>(std::uint64_t{n} * kSectorSize, bytes);
      hash.Update(buffer_.data(), static_cast<std::size_t>(use));
      bytes -= use;
      left -= use;
      lba += n;
      sectors -= n;
      readBytes += std::int64_t{n} * kSectorSize;
      Progress(std::int64_t{n} * kSectorSize);
    }
  }
  const platform::TDigest digest = hash.Final();
  if (e.HasDigest) {
    if (digest != e.Digest) report(TVerifyProblem::ContentDiffers, vmsg::CONTENT);
  } else if (e.HashSource) {
    platform::TDigest source;
    if (!HashFile(e.SourcePath, source))
      report(TVerifyProblem::SourceUnreadable, Format(vmsg::SOURCE_UNREADABLE, e.SourcePath.c_str()));
    else if (digest != source)
      report(TVerifyProblem::ContentDiffers, Format(vmsg::CONTENT_SOURCE, e.SourcePath.c_str()));
  }
}

std::vector<TVerifyMismatch> TVerifier::VerifySession(std::uint32_t sessionStart,
                                                      const std::vector<TExpectedEntry>& expected, bool joliet) {
  std::vector<TVerifyMismatch> out;
  TDiscTree iso, jol;
  const SectorReader one = [this](std::uint32_t lba, std::uint8_t* sector) { return read_(lba, 1, sector); };
  ReadDiscTrees(one, sessionStart, iso, jol);
  if (!iso.Present)
    out.push_back({{}, {}, TVerifyProblem::NoFileSystem, Format(vmsg::NO_FILE_SYSTEM, kIso, sessionStart + 16)});
  if (joliet && !jol.Present)
    out.push_back({{}, {}, TVerifyProblem::NoFileSystem, Format(vmsg::NO_FILE_SYSTEM, kJoliet, sessionStart + 16)});
  const bool useJoliet = joliet && jol.Present;
  if (!iso.Present && !useJoliet) return out;
  for (const std::string& p : iso.Problems)
    out.push_back({{}, {}, TVerifyProblem::Unreadable, Format(vmsg::TREE, kIso, p.c_str())});
  for (const std::string& p : jol.Problems)
    out.push_back({{}, {}, TVerifyProblem::Unreadable, Format(vmsg::TREE, kJoliet, p.c_str())});

  std::unordered_map<std::string, std::size_t> isoByPath, jolByPath;
  std::unordered_map<std::uint32_t, std::size_t> isoByLba;
  for (std::size_t i = 0; i < iso.Entries.size(); ++i) {
    isoByPath.emplace(iso.Entries[i].Path, i);
    if (!iso.Entries[i].Directory && iso.Entries[i].Size) isoByLba.emplace(iso.Entries[i].Extents[0].Lba, i);
  }
  for (std::size_t i = 0; i < jol.Entries.size(); ++i) jolByPath.emplace(jol.Entries[i].Path, i);
  std::vector<bool> isoUsed(iso.Entries.size()), jolUsed(jol.Entries.size());

  std::vector<Job> jobs;
  for (const TExpectedEntry& e : expected) {
    auto report = [&](TVerifyProblem problem, std::string text) {
      out.push_back({e.IsoPath, e.JolietPath, problem, std::move(text)});
    };
    const TDiscEntry* ie = nullptr;
    const TDiscEntry* je = nullptr;
    if (useJoliet && !e.JolietPath.empty()) {
      if (auto it = jolByPath.find(e.JolietPath); it != jolByPath.end() && !jolUsed[it->second]) {
        je = &jol.Entries[it->second];
        jolUsed[it->second] = true;
      }
    }
    if (iso.Present) {
      auto it = isoByPath.find(e.IsoPath);
      // An older disc compared with the files on disk: its ISO names may
      // come from another program's rules; the record that points at the
      // Joliet file's data is the same file.
      if ((it == isoByPath.end() || isoUsed[it->second]) && !e.LbaKnown && je && !je->Directory && je->Size)
        if (auto at = isoByLba.find(je->Extents[0].Lba); at != isoByLba.end()) it = isoByPath.find(iso.Entries[at->second].Path);
      if (it != isoByPath.end() && !isoUsed[it->second]) {
        ie = &iso.Entries[it->second];
        isoUsed[it->second] = true;
      }
    }
    if (iso.Present && !ie) report(TVerifyProblem::Missing, Format(vmsg::MISSING, kIso));
    if (useJoliet && !e.JolietPath.empty() && !je) report(TVerifyProblem::Missing, Format(vmsg::MISSING, kJoliet));
    bool sound = true;
    for (auto [x, space] : {std::pair{ie, kIso}, std::pair{je, kJoliet}}) {
      if (!x) continue;
      if (x->Directory != e.Directory) {
        report(TVerifyProblem::WrongKind, Format(e.Directory ? vmsg::FILE_NOT_FOLDER : vmsg::FOLDER_NOT_FILE, space));
        sound = false;
        continue;
      }
      if (e.Directory) continue;
      if (x->Size != static_cast<std::uint64_t>(e.Size)) {
        report(TVerifyProblem::SizeDiffers, Format(vmsg::SIZE, x->Size, e.Size, space));
        sound = false;
      } else if (e.LbaKnown && e.Size > 0 && x->Extents.front().Lba != e.Lba) {
        report(TVerifyProblem::ExtentDiffers, Format(vmsg::EXTENT, x->Extents.front().Lba, e.Lba, space));
        sound = false;
      }
    }
    if (e.Directory || !sound) continue;
    if (ie && je && !SameExtents(*ie, *je)) {
      report(TVerifyProblem::ExtentDiffers, vmsg::SPLIT);
      continue;
    }
    if (e.SourceChanged) report(TVerifyProblem::SourceChanged, Format(vmsg::SOURCE_CHANGED, e.SourcePath.c_str()));
    const TDiscEntry* x = je ? je : ie;
    if (x && x->Size > 0) jobs.push_back({&e, x->Extents, x->Size});
  }
  // Entries nobody expected; a file's two records (same data) make one.
  for (std::size_t j = 0; j < jol.Entries.size(); ++j) {
    if (jolUsed[j]) continue;
    const TDiscEntry& je = jol.Entries[j];
    std::string isoPath;
    if (!je.Directory && je.Size)
      if (auto at = isoByLba.find(je.Extents.front().Lba); at != isoByLba.end() && !isoUsed[at->second]) {
        isoUsed[at->second] = true;
        isoPath = iso.Entries[at->second].Path;
      }
    out.push_back({isoPath, je.Path, TVerifyProblem::NotExpected, vmsg::NOT_EXPECTED});
  }
  for (std::size_t i = 0; i < iso.Entries.size(); ++i)
    if (!isoUsed[i]) out.push_back({iso.Entries[i].Path, {}, TVerifyProblem::NotExpected, vmsg::NOT_EXPECTED});

  // The data in disc order: one pass from the first file to the last.
  std::stable_sort(jobs.begin(), jobs.end(),
                   [](const Job& a, const Job& b) { return a.extents.front().Lba < b.extents.front().Lba; });
  done_ = 0;
  total_ = 0;
  for (const Job& j : jobs)
    for (const TDiscExtent& x : j.extents) total_ += (std::int64_t{x.Bytes} + kSectorSize - 1) / kSectorSize * kSectorSize;
  for (const Job& j : jobs) {
    if (Stop()) break;
    ReadFile(j, out);
  }
  return out;
}

std::vector<TVerifyMismatch> TVerifier::VerifyBlocks(std::uint32_t start, std::int64_t count,
                                                     const std::vector<std::uint64_t>& sectors) {
  std::vector<TVerifyMismatch> out;
  struct Run {
    std::uint32_t first, last;  // image sectors
    bool unreadable;            // else it read but differs
  };
  std::vector<Run> runs;
  auto note = [&](std::uint32_t sector, bool unreadable) {
    if (!runs.empty() && runs.back().unreadable == unreadable && runs.back().last + 1 == sector)
      runs.back().last = sector;
    else
      runs.push_back({sector, sector, unreadable});
  };
  done_ = 0;
  total_ = count * kSectorSize;
  for (std::int64_t at = 0; at < count; at += kChunkSectors) {
    if (Stop()) break;
    const auto n = static_cast<std::uint32_t>(std::min<std::int64_t>(kChunkSectors, count - at));
    const auto lba = static_cast<std::uint32_t>(start + at);
    // A run that fails is read sector by sector, to tell the bad ones.
    const bool whole = read_(lba, n, buffer_.data());
    for (std::uint32_t i = 0; i < n; ++i) {
      const auto sector = static_cast<std::uint32_t>(at + i);
      std::uint8_t* data = buffer_.data() + std::size_t{i} * kSectorSize;
      if (!whole && !read_(lba + i, 1, data)) {
        note(sector, true);
        if (++unreadable_ >= MaxUnreadable) {
          out.push_back({{}, {}, TVerifyProblem::Stopped, vmsg::STOPPED});
          stopped_ = true;
          break;
        }
        continue;
      }
      if (sector >= sectors.size() || platform::ShortDigest(data, kSectorSize) != sectors[sector]) note(sector, false);
    }
    Progress(std::int64_t{n} * kSectorSize);
  }
  if (runs.empty()) return out;
  // Name the files in the bad runs, in both name spaces.
  TDiscTree iso, jol;
  const SectorReader one = [this](std::uint32_t lba, std::uint8_t* sector) { return read_(lba, 1, sector); };
  ReadDiscTrees(one, start, iso, jol);
  std::unordered_map<std::uint32_t, const TDiscEntry*> jolByLba;
  for (const TDiscEntry& j : jol.Entries)
    if (!j.Directory && j.Size) jolByLba.emplace(j.Extents.front().Lba, &j);
  for (const Run& r : runs) {
    const std::string text =
        Format(r.unreadable ? vmsg::BLOCK_UNREADABLE : vmsg::BLOCKS, start + r.first, start + r.last);
    const TVerifyProblem problem = r.unreadable ? TVerifyProblem::Unreadable : TVerifyProblem::ContentDiffers;
    bool named = false;
    auto overlaps = [&](const TDiscEntry& e) {
      for (const TDiscExtent& x : e.Extents) {
        const std::uint64_t from = x.Lba - std::uint64_t{start};
        const std::uint64_t to = from + (std::uint64_t{x.Bytes} + kSectorSize - 1) / kSectorSize;
        if (x.Bytes && x.Lba >= start && from <= r.last && to > r.first) return true;
      }
      return false;
    };
    std::unordered_map<const TDiscEntry*, bool> jolNamed;
    for (const TDiscEntry& i : iso.Entries) {
      if (i.Directory || !overlaps(i)) continue;
      const TDiscEntry* j = nullptr;
      if (auto it = jolByLba.find(i.Extents.front().Lba); it != jolByLba.end()) j = it->second;
      if (j) jolNamed[j] = true;
      out.push_back({i.Path, j ? j->Path : std::string(), problem, text});
      named = true;
    }
    for (const TDiscEntry& j : jol.Entries) {
      if (j.Directory || jolNamed.count(&j) || !overlaps(j)) continue;
      out.push_back({{}, j.Path, problem, text});
      named = true;
    }
    if (!named) out.push_back({{}, {}, problem, text});
  }
  return out;
}

}  // namespace velloran::image
