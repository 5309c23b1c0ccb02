#include "image/disc_tree.h"

#include "drive/byte_order.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_set>

namespace velloran::image {

namespace {

std::string Format(const char* format, std::uint32_t a, std::uint32_t b = 0) {
  char buf[160];
  std::snprintf(buf, sizeof buf, format, a, b);
  return buf;
}

// UCS-2 level 1, 2 or 3: a type 2 descriptor without one of these escape
// sequences is some other supplementary volume whose names are not UCS-2.
bool IsJolietEscape(const std::uint8_t* d) {
  return d[88] == 0x25 && d[89] == 0x2F && (d[90] == 0x40 || d[90] == 0x43 || d[90] == 0x45);
}

class TreeReader {
 public:
  TreeReader(const SectorReader& read, bool joliet, TDiscTree& out, const TDiscTreeLimits& limits)
      : read_(read), joliet_(joliet), out_(out), limits_(limits) {}

  void Walk(std::uint32_t lba, std::uint32_t size) { Directory(lba, size, std::string(), 1); }

 private:
  void Problem(std::string text) { out_.Problems.push_back(std::move(text)); }

  bool Full() {
    if (stopped_) return true;
    if (out_.Entries.size() >= limits_.MaxEntries || sectorsRead_ >= limits_.MaxTotalSectors) {
      Problem(tree_msg::TOO_LARGE);
      stopped_ = true;
    }
    return stopped_;
  }

  void Directory(std::uint32_t lba, std::uint32_t size, const std::string& path, int depth) {
    if (size == 0 || size > limits_.MaxDirectoryBytes) return Problem(Format(tree_msg::DIRECTORY_SIZE, size, lba));
    const std::uint32_t sectors = (size + kSectorSize - 1) / kSectorSize;
    if (lba > 0xFFFFFFFFu - sectors) return Problem(Format(tree_msg::DIRECTORY_SIZE, size, lba));
    if (!visited_.insert(lba).second) return Problem(Format(tree_msg::DIRECTORY_LOOP, lba));
    struct Sub {
      std::string path;
      std::uint32_t lba, size;
    };
    std::vector<Sub> subs;  // entered after this directory's records
    std::array<std::uint8_t, kSectorSize> sector{};
    std::vector<TDirRecord> records;
    TDiscEntry* open = nullptr;  // a file whose further extents follow
    for (std::uint32_t i = 0; i < sectors; ++i) {
      if (Full()) break;
      ++sectorsRead_;
      if (!read_(lba + i, sector.data())) {
        Problem(Format(tree_msg::UNREADABLE, lba + i));
        if (++unreadable_ >= limits_.MaxUnreadable) stopped_ = true;
        break;
      }
      records.clear();
      if (ParseDirectorySector(sector, records) != SectorParse::Complete)
        Problem(Format(tree_msg::DAMAGED_RECORD, lba + i));
      for (const TDirRecord& r : records) {
        if (r.Identifier.size() == 1 && (r.Identifier[0] == 0 || r.Identifier[0] == 1)) continue;
        if (Full()) break;
        bool changed = false;
        const std::string name = RecordName(r.Identifier, joliet_, changed);
        if (name.empty() || name == "." || name == "..") {
          // No path could name it (an identifier of ";1" alone, or a dot).
          Problem(Format(tree_msg::INVALID_NAME, lba + i));
          open = nullptr;
          continue;
        }
        const std::string child = path.empty() ? name : path + "/" + name;
        if (open && !(open->Path == child && !(r.Flags & 0x02))) {
          Problem(Format(tree_msg::BROKEN_EXTENTS, lba + i));
          open = nullptr;
        }
        if (open) {
          open->Size += r.Size;
          open->Extents.push_back({r.Extent, r.Size});
        } else {
          TDiscEntry e;
          e.Path = child;
          e.Directory = (r.Flags & 0x02) != 0;
          e.Size = r.Size;
          e.Extents.push_back({r.Extent, r.Size});
          out_.Entries.push_back(std::move(e));
          if (r.Flags & 0x02) {
            if (depth >= limits_.MaxDepth)
              Problem(Format(tree_msg::TOO_DEEP, r.Extent));
            else
              subs.push_back({child, r.Extent, r.Size});
          }
        }
        open = (!(r.Flags & 0x02) && (r.Flags & 0x80)) ? &out_.Entries.back() : nullptr;
      }
    }
    if (open) Problem(Format(tree_msg::BROKEN_EXTENTS, lba));
    for (const Sub& s : subs) {
      if (stopped_) break;
      Directory(s.lba, s.size, s.path, depth + 1);
    }
  }

  const SectorReader& read_;
  bool joliet_;
  TDiscTree& out_;
  TDiscTreeLimits limits_;
  std::unordered_set<std::uint32_t> visited_;
  std::uint64_t sectorsRead_ = 0;
  int unreadable_ = 0;
  bool stopped_ = false;
};

}  // namespace

void ReadDiscTrees(const SectorReader& read, std::uint32_t sessionStart, TDiscTree& iso, TDiscTree& joliet,
                   const TDiscTreeLimits& limits) {
  iso = TDiscTree{};
  joliet = TDiscTree{};
  if (sessionStart > 0xFFFFFFFFu - 36) return;
  struct Root {
    bool found = false;
    std::uint32_t lba = 0, size = 0;
  } isoRoot, jolietRoot;
  std::array<std::uint8_t, kSectorSize> d{};
  for (std::uint32_t lba = sessionStart + 16; lba <= sessionStart + 36; ++lba) {
    if (!read(lba, d.data())) continue;
    if (std::memcmp(&d[1], "CD001", 5) != 0) continue;
    if (d[0] == 255) break;
    Root* root = d[0] == 1 ? &isoRoot : (d[0] == 2 && IsJolietEscape(d.data())) ? &jolietRoot : nullptr;
    if (!root || root->found) continue;
    root->found = true;
    root->lba = le::load32(&d[158]);
    root->size = le::load32(&d[166]);
  }
  if (isoRoot.found) {
    iso.Present = true;
    TreeReader(read, false, iso, limits).Walk(isoRoot.lba, isoRoot.size);
  }
  if (jolietRoot.found) {
    joliet.Present = true;
    TreeReader(read, true, joliet, limits).Walk(jolietRoot.lba, jolietRoot.size);
  }
}

std::string DiscPath(const std::vector<std::string>& identifiers, bool joliet) {
  std::string path;
  for (const std::string& id : identifiers) {
    bool changed = false;
    const auto bytes = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(id.data()), id.size());
    if (!path.empty()) path += '/';
    path += RecordName(bytes, joliet, changed);
  }
  return path;
}

}  // namespace velloran::image
