#include "image/zbISOLib.h"

#include "drive/byte_order.h"
#include "image/iso_names.h"
#include "image/rock_ridge.h"
#include "platform/ucs2.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <unordered_map>

namespace velloran::image {

namespace {

std::uint32_t SectorsOf(std::int64_t bytes) {
  return static_cast<std::uint32_t>((bytes + kSectorSize - 1) / kSectorSize);
}

// Offset from UTC in 15-minute units as records and descriptors hold it
// (-48 to +52).
std::int8_t ZoneQuarters(int minutesEast) { return static_cast<std::int8_t>(std::clamp(minutesEast / 15, -48, 52)); }

std::string Lba8(std::uint32_t lba) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08u", lba);
  return buf;
}

// Walks the records of one directory as they are laid out, calling
// place(offsetInExtent, length, child, part, index) for each ("." and ".."
// have no child and parts -1 and -2; index is the child's place among the
// children); returns the extent size in bytes.
// lengths: each child's record length when known (else computed here);
// dots: the lengths of "." and ".." (34 without a System Use area).
template <typename Place>
std::int64_t WalkRecords(std::span<const TFEntry* const> children, std::span<const std::uint8_t> lengths, bool joliet,
                         std::pair<std::size_t, std::size_t> dots, Place place) {
  std::int64_t sectors = 1;
  std::int64_t pos = 0;
  auto put = [&](std::size_t len, auto&&... args) {
    if (pos + static_cast<std::int64_t>(len) > kSectorSize) {
      ++sectors;
      pos = 0;
    }
    place((sectors - 1) * kSectorSize + pos, len, args...);
    pos += static_cast<std::int64_t>(len);
  };
  put(dots.first, static_cast<const TFEntry*>(nullptr), std::int64_t{-1}, std::size_t{0});
  put(dots.second, static_cast<const TFEntry*>(nullptr), std::int64_t{-2}, std::size_t{0});
  for (std::size_t i = 0; i < children.size(); ++i) {
    const TFEntry* c = children[i];
    const std::size_t len = i < lengths.size()
                                ? lengths[i]
                                : RecordLength((joliet ? JolietRecordIdentifier(*c) : IsoRecordIdentifier(*c)).size());
    const std::int64_t parts = c->IsDirectory() ? 1 : ExtentCount(c->Size);
    for (std::int64_t k = 0; k < parts; ++k) put(len, c, k, i);
  }
  return sectors * kSectorSize;
}

struct TDirRecords {
  std::span<const TFEntry* const> children;
  std::span<const std::uint8_t> lengths;
};

TDirRecords RecordsOf(const TLayout& L, std::size_t dirIndex, bool joliet) {
  const auto& records = joliet ? L.JolietRecords : L.IsoRecords;
  const auto& lengths = joliet ? L.JolietRecordLengths : L.IsoRecordLengths;
  const auto& start = joliet ? L.JolietRecordStart : L.IsoRecordStart;
  const std::size_t b = start[dirIndex], n = start[dirIndex + 1] - b;
  return {std::span<const TFEntry* const>(records).subspan(b, n), std::span<const std::uint8_t>(lengths).subspan(b, n)};
}

std::pair<std::size_t, std::size_t> DotsOf(const TLayout& L, std::size_t dirIndex, bool joliet) {
  if (joliet || L.IsoDotLengths.empty()) return {34, 34};
  return {L.IsoDotLengths[2 * dirIndex], L.IsoDotLengths[2 * dirIndex + 1]};
}

// Every directory's children in record order, with their record lengths,
// for one name space; extra gives children a directory has in the ISO
// 9660 hierarchy only (the relocation folder and its members).
void SortRecords(const std::vector<TDEntry*>& dirs, std::size_t entries, bool joliet,
                 const std::function<void(const TDEntry&, std::vector<const TFEntry*>&)>& extra,
                 std::vector<const TFEntry*>& records, std::vector<std::uint8_t>& lengths,
                 std::vector<std::uint32_t>& start) {
  records.clear();
  lengths.clear();
  start.clear();
  records.reserve(entries);
  lengths.reserve(entries);
  start.reserve(dirs.size() + 1);
  std::vector<const TFEntry*> children;
  for (const TDEntry* d : dirs) {
    start.push_back(static_cast<std::uint32_t>(records.size()));
    children.clear();
    for (const TFEntry* c = d->FirstChild; c; c = c->Next) children.push_back(c);
    if (extra) extra(*d, children);
    SortRecordEntries(children, joliet, records, &lengths);
  }
  start.push_back(static_cast<std::uint32_t>(records.size()));
}

// --- Rock Ridge ----------------------------------------------------------------

// The System Use areas of the ISO 9660 records. The layout walks every
// record once with it to learn their sizes, and the metadata writer walks
// them again in the same order to write them: continuation areas are handed
// out in that order, so both walks find them at the same places.
class TSystemUse {
 public:
  enum class Role { Normal, Placeholder, Relocated, RelocationFolder };

  // out: sectors [outFirst, outEnd) of the metadata, where the pieces of
  // continuation areas that fall there are written (nullptr while laying
  // out).
  TSystemUse(const Compilation& c, const TLayout& L, TDateTime now, int nowBias, std::uint8_t* out,
             std::uint32_t outFirst = 0, std::uint32_t outEnd = 0)
      : comp_(c), L(L), now_(EntryMoment(now, nowBias)), nowZone_(ZoneQuarters(-nowBias)), out_(out),
        outFirst_(outFirst), outEnd_(outEnd) {}

  // The place of the next piece (bytes from the first continuation area),
  // and a walk begun at a directory whose pieces start at such a place.
  std::uint64_t Cursor() const { return static_cast<std::uint64_t>(sector_) * kSectorSize + offset_; }
  void Seek(std::uint64_t cursor) {
    sector_ = static_cast<std::uint32_t>(cursor / kSectorSize);
    offset_ = static_cast<std::uint32_t>(cursor % kSectorSize);
  }

  // Called on entering each directory, before its records: the names its
  // children have for Rock Ridge readers (the names they were given; a file
  // and a folder of one name are told apart as in the other name spaces).
  void BeginDirectory(const TDEntry& dir, std::span<const TFEntry* const> children) {
    current_ = &dir;
    renamed_ = Names(children);
  }

  std::string Dot(const TDEntry& dir, std::size_t base) {
    std::vector<rr::Entry> in, continued;
    if (&dir == comp_.Root()) {
      in.push_back(rr::SP());
      continued.push_back(rr::ER());
    }
    Attributes(in, dir.Node, true, false, Links(dir), DirSerial(dir));
    return Area(std::move(in), std::move(continued), base);
  }

  std::string DotDot(const TDEntry& dir, std::size_t base) {
    // Rock Ridge readers see a moved directory where it was.
    const TDEntry& parent = &dir == comp_.Root() ? dir : *dir.Parent;
    std::vector<rr::Entry> in;
    Attributes(in, parent.Node, true, false, Links(parent), DirSerial(parent));
    if (L.Relocation && L.Relocation->Moved.count(&dir)) in.push_back(rr::PL(DirExtent(parent)));
    return Area(std::move(in), {}, base);
  }

  std::string Child(const TFEntry& c, Role role, std::uint32_t serial, std::size_t base) {
    std::vector<rr::Entry> in;
    const bool dir = c.IsDirectory();
    Attributes(in, &c, dir, c.IsLink(), dir ? Links(*c.Directory) : 1, dir ? DirSerial(*c.Directory) : serial);
    // RE hides the relocation folder and what it holds from Rock Ridge
    // readers (they meet the moved directories through CL); their names are
    // there all the same, for readers that find a moved directory by name.
    if (role == Role::Relocated || role == Role::RelocationFolder) in.push_back(rr::RE());
    if (role == Role::Placeholder) in.push_back(rr::CL(DirExtent(*c.Directory)));
    rr::AppendNM(in, role == Role::RelocationFolder ? c.JolietName : NameOf(c));
    if (const std::string* target = c.IsLink() ? comp_.LinkTarget(&c) : nullptr) rr::AppendSL(in, *target);
    return Area(std::move(in), {}, base);
  }

  std::uint32_t Sectors() const { return sector_ + (offset_ > 0 ? 1 : 0); }

 private:
  // The names children of one directory have for Rock Ridge readers: the
  // names they were given; of a file and a folder of one name, the one
  // from an earlier session (else the one added first) keeps it, the other
  // gets a "~N" ending. Only the renamed ones are listed.
  std::unordered_map<const TFEntry*, std::string> Names(std::span<const TFEntry* const> children) const {
    std::unordered_map<const TFEntry*, std::string> renamed;
    std::unordered_set<std::string> taken;
    std::vector<const TFEntry*> order(children.begin(), children.end());
    std::stable_partition(order.begin(), order.end(), [](const TFEntry* c) {
      return c->Imported || (c->Directory && c->Directory->Imported);
    });
    std::vector<const TFEntry*> clashes;
    for (const TFEntry* c : order)
      if (!taken.insert(GivenName(*c)).second) clashes.push_back(c);
    for (const TFEntry* c : clashes) {
      const std::string name = GivenName(*c);
      const auto dot = c->IsDirectory() ? std::string::npos : name.rfind('.');
      const std::string base = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
      const std::string ext = base.size() == name.size() ? std::string() : name.substr(dot);
      for (unsigned n = 1;; ++n) {
        std::string candidate = base + "~" + std::to_string(n) + ext;
        if (taken.insert(candidate).second) {
          renamed[c] = std::move(candidate);
          break;
        }
      }
    }
    return renamed;
  }

  std::string NameOf(const TFEntry& c) const {
    if (c.Parent == current_) {
      auto it = renamed_.find(&c);
      return it != renamed_.end() ? it->second : GivenName(c);
    }
    // A moved directory, in the relocation folder: its name where it is.
    std::vector<const TFEntry*> siblings;
    for (const TFEntry* s = c.Parent->FirstChild; s; s = s->Next) siblings.push_back(s);
    const auto renamed = Names(siblings);
    auto it = renamed.find(&c);
    return it != renamed.end() ? it->second : GivenName(c);
  }

  static std::time_t EntryMoment(TDateTime local, int bias) {
    TFEntry e;
    e.Date = local;
    e.ZoneOffset = ZoneQuarters(-bias);
    return EntryTime(e);
  }

  // The name as given, without the dot the compilation gives a file name
  // that has none ("README" is "README." there).
  std::string GivenName(const TFEntry& c) const {
    std::string name = comp_.GivenName(&c);
    if (!c.IsDirectory() && name.size() > 1 && name.back() == '.' && name.find('.') == name.size() - 1) name.pop_back();
    return name;
  }

  std::uint32_t DirExtent(const TDEntry& d) const { return L.IsoDirArea + static_cast<std::uint32_t>(d.IsoExtentOffset); }
  // A directory's serial number is its extent, unique on the disc; files
  // are numbered from 2^31 on by their place among the records.
  std::uint32_t DirSerial(const TDEntry& d) const { return DirExtent(d); }
  std::uint32_t Links(const TDEntry& d) const {
    if (L.Relocation && &d == &L.Relocation->Dir) return 2 + static_cast<std::uint32_t>(L.Relocation->Moved.size());
    return 2 + d.Subdirs;
  }

  void Attributes(std::vector<rr::Entry>& in, const TFEntry* node, bool dir, bool link, std::uint32_t links,
                  std::uint32_t serial) const {
    const std::uint32_t type = link ? rr::kSymlink : dir ? rr::kDirectory : rr::kRegular;
    std::uint32_t perms = node && node->Mode ? (node->Mode & 07777u) : (dir ? 0555u : 0444u);
    std::uint32_t uid = 0, gid = 0;
    if (link) perms = 0777;  // a link's own permissions mean nothing
    if (L.RockRidgeOwners && node) {
      uid = node->Uid;
      gid = node->Gid;
    } else if (!link) {
      perms |= dir ? 0555u : 0444u;  // whoever gets the disc can read it
    }
    in.push_back(rr::PX(type | perms, links, uid, gid, serial));
    std::time_t modified = node ? EntryTime(*node) : 0;
    std::int8_t zone = node ? node->ZoneOffset : nowZone_;
    if (modified == 0) modified = now_, zone = nowZone_;
    const std::time_t accessed = node ? modified + node->AtimeDelta : modified;
    const std::time_t changed = node ? modified + node->CtimeDelta : modified;
    in.push_back(rr::TF(modified, accessed, changed, zone));
  }

  // A piece of a continuation area: where it goes (a piece never crosses a
  // sector).
  std::pair<std::uint32_t, std::uint32_t> Allocate(std::size_t bytes) {
    if (offset_ + bytes > kSectorSize) {
      ++sector_;
      offset_ = 0;
    }
    const std::pair<std::uint32_t, std::uint32_t> at{L.RockRidgeArea + sector_, offset_};
    offset_ += static_cast<std::uint32_t>(bytes);
    return at;
  }

  static std::size_t Bytes(const std::vector<rr::Entry>& entries) {
    std::size_t n = 0;
    for (const auto& e : entries) n += e.size();
    return n;
  }

  // The area of a record whose fixed part and identifier take base bytes:
  // what fits in the record (records stay even and at most 254 bytes), the
  // rest in continuation areas that a CE entry points to.
  std::string Area(std::vector<rr::Entry> in, std::vector<rr::Entry> continued, std::size_t base) {
    const std::size_t limit = 254 - base;
    std::string area;
    if (continued.empty() && Bytes(in) <= limit) {
      for (const auto& e : in) area += e;
    } else {
      std::size_t keep = 0, used = 0;
      while (keep < in.size() && used + in[keep].size() + rr::kCeLength <= limit) used += in[keep++].size();
      continued.insert(continued.begin(), in.begin() + static_cast<std::ptrdiff_t>(keep), in.end());
      in.resize(keep);
      // Pieces of a sector at most, each but the last ending with a CE to
      // the next one.
      std::vector<std::vector<rr::Entry>> pieces(1);
      std::size_t size = 0;
      for (auto& e : continued) {
        if (size + e.size() + rr::kCeLength > kSectorSize) {
          pieces.emplace_back();
          size = 0;
        }
        size += e.size();
        pieces.back().push_back(std::move(e));
      }
      std::vector<std::pair<std::uint32_t, std::uint32_t>> at;
      std::vector<std::size_t> lengths;
      for (std::size_t k = 0; k < pieces.size(); ++k) {
        lengths.push_back(Bytes(pieces[k]) + (k + 1 < pieces.size() ? rr::kCeLength : 0));
        at.push_back(Allocate(lengths.back()));
      }
      for (std::size_t k = 0; k < pieces.size(); ++k) {
        if (!out_ || at[k].first < outFirst_ || at[k].first >= outEnd_) continue;
        std::string bytes;
        for (const auto& e : pieces[k]) bytes += e;
        if (k + 1 < pieces.size())
          bytes += rr::CE(at[k + 1].first, at[k + 1].second, static_cast<std::uint32_t>(lengths[k + 1]));
        std::memcpy(out_ + static_cast<std::size_t>(at[k].first - outFirst_) * kSectorSize + at[k].second,
                    bytes.data(), bytes.size());
      }
      for (const auto& e : in) area += e;
      area += rr::CE(at[0].first, at[0].second, static_cast<std::uint32_t>(lengths[0]));
    }
    if (area.size() % 2) area += '\0';
    return area;
  }

  const Compilation& comp_;
  const TLayout& L;
  std::time_t now_;
  std::int8_t nowZone_;
  std::uint8_t* out_;
  std::uint32_t outFirst_, outEnd_;
  std::uint32_t sector_ = 0, offset_ = 0;
  const TDEntry* current_ = nullptr;
  std::unordered_map<const TFEntry*, std::string> renamed_;
};

TSystemUse::Role RoleOf(const TLayout& L, const TDEntry& dir, const TFEntry& c) {
  if (!L.Relocation) return TSystemUse::Role::Normal;
  if (&c == &L.Relocation->Node) return TSystemUse::Role::RelocationFolder;
  if (&dir == &L.Relocation->Dir) return TSystemUse::Role::Relocated;
  if (c.Directory && L.Relocation->Moved.count(c.Directory)) return TSystemUse::Role::Placeholder;
  return TSystemUse::Role::Normal;
}

// Record length without its System Use area for an identifier of n bytes.
std::size_t BaseLength(std::size_t n) { return RecordLength(n); }

}  // namespace

std::int64_t DirectoryExtentSize(std::span<const TFEntry* const> sortedChildren, bool joliet) {
  return WalkRecords(sortedChildren, {}, joliet, {34, 34}, [](std::int64_t, std::size_t, const TFEntry*, std::int64_t, std::size_t) {});
}

std::int64_t DirectoryExtentSize(const TDEntry& dir, bool joliet) {
  std::vector<const TFEntry*> children;
  SortedChildren(dir, joliet, children);
  return DirectoryExtentSize(children, joliet);
}

std::uint8_t BootMediaType(std::uint32_t sectors) {
  switch (sectors) {
    case 600: return 1;   // 1.2 MB diskette
    case 720: return 2;   // 1.44 MB diskette
    case 1440: return 3;  // 2.88 MB diskette
    default: return 4;    // hard disk
  }
}

TLayout BuildLayout(Compilation& compilation, const TLayoutOptions& options, const DebugFn& debug) {
  auto say = [&](const std::string& text) {
    if (debug) debug(text, 1);
  };
  TLayout L;
  L.Joliet = options.Joliet;
  L.Bootable = options.Bootable;
  L.StartAddress = options.StartAddress;

  L.RockRidge = options.RockRidge;
  L.RockRidgeOwners = options.RockRidgeOwners;
  L.IsoDirs.clear();
  for (const auto& d : compilation.Dirs()) L.IsoDirs.push_back(d.get());
  TDEntry* root = compilation.Root();
  if (L.RockRidge) {
    // ISO 9660 allows eight levels, the root the first: a directory below
    // them moves to the relocation folder (level 2), its own below it.
    std::unordered_map<const TDEntry*, int> level{{root, 1}};
    std::unordered_set<const TDEntry*> moved;
    for (std::size_t i = 1; i < L.IsoDirs.size(); ++i) {
      const TDEntry* d = L.IsoDirs[i];
      int depth = level[d->Parent] + 1;
      if (depth > 8) {
        moved.insert(d);
        depth = 3;
      }
      level[d] = depth;
    }
    if (!moved.empty()) {
      auto r = std::make_shared<TRelocation>();
      r->Moved = std::move(moved);
      r->Dir.IsoName = r->Node.IsoName = "RR_MOVED";
      r->Dir.JolietName = r->Node.JolietName = ".rr_moved";
      r->Dir.Path = "\\.rr_moved";
      r->Dir.Depth = 2;
      r->Dir.Parent = r->Node.Parent = root;
      r->Dir.Node = &r->Node;
      r->Node.Directory = &r->Dir;
      r->Node.Attributes = platform::faDirectory | platform::faHidden;
      r->Node.Date = platform::Now();
      r->Node.ZoneOffset = ZoneQuarters(-platform::LocalBiasMinutes());
      L.Relocation = std::move(r);
      L.IsoDirs.push_back(&L.Relocation->Dir);
    }
  }

  say(std::to_string(compilation.FileCount()) + " Files Added to CD, now sorting");
  say("Sorting .... ISO9660 LN-PN");
  L.IsoOrder = OrderIsoPathTable(L.IsoDirs, [&L](const TDEntry* d) { return L.IsoParent(*d); });
  if (L.Joliet) {
    say("Sorting .... Joliet  LN-PN");
    L.JolietOrder = OrderJolietPathTable(compilation);
  }
  say("Sorting .... ISO9660");
  if (L.Joliet) say("Sorting .... Joliet");
  say("Sorting .... Done");

  // Path table sizes.
  L.IsoPathTableSize = 10;
  for (std::size_t i = 1; i < L.IsoOrder.size(); ++i) {
    const std::size_t n = IsoDirIdentifier(*L.IsoOrder[i]).size();
    L.IsoPathTableSize += static_cast<std::uint32_t>(8 + n + (n % 2));
  }
  if (L.Joliet) {
    L.JolietPathTableSize = 10;
    for (std::size_t i = 1; i < L.JolietOrder.size(); ++i)
      L.JolietPathTableSize += static_cast<std::uint32_t>(8 + JolietDirIdentifier(*L.JolietOrder[i]).size());
  }

  // The records of every directory, in order.
  const TRelocation* reloc = L.Relocation.get();
  const auto isoExtra = [reloc, root](const TDEntry& d, std::vector<const TFEntry*>& children) {
    if (!reloc) return;
    if (&d == root) children.push_back(&reloc->Node);
    if (&d == &reloc->Dir)
      for (const TDEntry* m : reloc->Moved) children.push_back(m->Node);
  };
  SortRecords(L.IsoDirs, compilation.Files().size() + 1, false, isoExtra, L.IsoRecords, L.IsoRecordLengths,
              L.IsoRecordStart);
  std::vector<TDEntry*> jolietDirs(L.IsoDirs.begin(), L.IsoDirs.begin() + static_cast<std::ptrdiff_t>(compilation.Dirs().size()));
  if (L.Joliet)
    SortRecords(jolietDirs, compilation.Files().size(), true, nullptr, L.JolietRecords, L.JolietRecordLengths,
                L.JolietRecordStart);

  // Rock Ridge areas make the ISO 9660 records longer, and may need
  // continuation areas.
  L.IsoDotLengths.clear();
  if (L.RockRidge) {
    for (const TDEntry* d : L.IsoDirs) const_cast<TDEntry*>(d)->Subdirs = 0;
    for (const auto& f : compilation.Files())
      if (f->Directory) ++f->Parent->Subdirs;
    TSystemUse susp(compilation, L, 0, 0, nullptr);
    L.RockRidgeCursor.clear();
    for (std::size_t i = 0; i < L.IsoDirs.size(); ++i) {
      const TDEntry& d = *L.IsoDirs[i];
      const TDirRecords records = RecordsOf(L, i, false);
      L.RockRidgeCursor.push_back(susp.Cursor());
      susp.BeginDirectory(d, records.children);
      L.IsoDotLengths.push_back(static_cast<std::uint8_t>(34 + susp.Dot(d, 34).size()));
      L.IsoDotLengths.push_back(static_cast<std::uint8_t>(34 + susp.DotDot(d, 34).size()));
      for (std::size_t k = 0; k < records.children.size(); ++k) {
        const TFEntry& c = *records.children[k];
        const std::size_t base = BaseLength(IsoRecordIdentifier(c).size());
        const std::int64_t parts = c.IsDirectory() ? 1 : ExtentCount(c.Size);
        std::size_t length = base;
        for (std::int64_t part = 0; part < parts; ++part)
          length = base + susp.Child(c, RoleOf(L, d, c), 0, base).size();
        L.IsoRecordLengths[L.IsoRecordStart[i] + k] = static_cast<std::uint8_t>(length);
      }
    }
    L.RockRidgeCursor.push_back(susp.Cursor());
    L.RockRidgeSectors = susp.Sectors();
  }

  // Directory extents, offsets in directory order.
  std::int64_t isoSectors = 0, jolietSectors = 0;
  for (std::size_t i = 0; i < L.IsoDirs.size(); ++i) {
    TDEntry* d = L.IsoDirs[i];
    const TDirRecords iso = RecordsOf(L, i, false);
    d->IsoExtentSize = WalkRecords(iso.children, iso.lengths, false, DotsOf(L, i, false),
                                   [](std::int64_t, std::size_t, const TFEntry*, std::int64_t, std::size_t) {});
    d->IsoExtentOffset = static_cast<std::int32_t>(isoSectors);
    isoSectors += d->IsoExtentSize / kSectorSize;
    if (i >= jolietDirs.size()) continue;
    if (L.Joliet) {
      const TDirRecords joliet = RecordsOf(L, i, true);
      d->JolietExtentSize = WalkRecords(joliet.children, joliet.lengths, true, {34, 34},
                                        [](std::int64_t, std::size_t, const TFEntry*, std::int64_t, std::size_t) {});
      d->JolietExtentOffset = static_cast<std::int32_t>(jolietSectors);
      jolietSectors += d->JolietExtentSize / kSectorSize;
    } else {
      d->JolietExtentSize = 0;
      d->JolietExtentOffset = 0;
    }
  }
  L.IsoDirSectors = static_cast<std::uint32_t>(isoSectors);
  L.JolietDirSectors = static_cast<std::uint32_t>(jolietSectors);
  if (L.Relocation) {
    L.Relocation->Node.Extent = L.Relocation->Dir.IsoExtentOffset;
    L.Relocation->Node.Size = L.Relocation->Dir.IsoExtentSize;
  }

  // Locations.
  std::uint32_t next = L.StartAddress + 16;
  L.Pvd = next++;
  if (L.Bootable) L.BootRecord = next++;
  if (L.Joliet) L.JolietSvd = next++;
  L.Terminator = next++;
  L.IsoL = next, next += SectorsOf(L.IsoPathTableSize);
  L.IsoM = next, next += SectorsOf(L.IsoPathTableSize);
  if (L.Joliet) {
    L.JolietL = next, next += SectorsOf(L.JolietPathTableSize);
    L.JolietM = next, next += SectorsOf(L.JolietPathTableSize);
  }
  L.IsoDirArea = next, next += L.IsoDirSectors;
  if (L.RockRidge) L.RockRidgeArea = next, next += L.RockRidgeSectors;
  if (L.Joliet) L.JolietDirArea = next, next += L.JolietDirSectors;
  if (L.Bootable) {
    L.BootCatalog = next++;
    L.BootImage = next;
    L.BootImageSectors = SectorsOf(options.BootImageBytes);
  }
  L.MetadataEnd = next;
  next += L.BootImageSectors;
  if (next < kMinFirstFileLba) {
    L.PaddingSectors = kMinFirstFileLba - next;
    L.FirstFile = kMinFirstFileLba;
  } else {
    L.FirstFile = next;
  }

  // File extents, in file-array order (the order the data is written).
  std::int64_t running = 0;
  for (const auto& f : compilation.Files()) {
    if (f->Imported) continue;
    if (f->Directory) {
      f->Extent = f->Directory->IsoExtentOffset;
      f->JolietExtent = f->Directory->JolietExtentOffset;
      f->Size = f->Directory->IsoExtentSize;
      f->JolietSize = f->Directory->JolietExtentSize;
    } else if (f->Size == 0) {
      f->Extent = f->JolietExtent = 0;
      f->JolietSize = 0;
    } else {
      f->Extent = f->JolietExtent = static_cast<std::int32_t>(running);
      running += SectorsOf(f->Size);
    }
  }
  L.FileDataSectors = running;
  L.VolumeSize = L.FirstFile + running;
  L.ImageSectors = L.VolumeSize - L.StartAddress;

  say(" Primary Volume Descriptor Location   :" + Lba8(L.Pvd));
  if (L.Bootable) say(" Boot Record    Descriptor Location   :" + Lba8(L.BootRecord));
  if (L.Joliet) say(" Joliet Volume Descriptor Location    :" + Lba8(L.JolietSvd));
  say(" Terminator Vol Descriptor Location   :" + Lba8(L.Terminator));
  say(" Path Table Records Location (Least)  :" + Lba8(L.IsoL));
  say(" Path Table Records Location (Most)   :" + Lba8(L.IsoM));
  if (L.Joliet) {
    say(" Path Table Records Location (Least) J:" + Lba8(L.JolietL));
    say(" Path Table Records Location (Most)  J:" + Lba8(L.JolietM));
  }
  say(" File and Directory Record Location   :" + Lba8(L.IsoDirArea));
  if (L.RockRidge) say(" Rock Ridge Continuation Areas        :" + Lba8(L.RockRidgeArea));
  if (L.Joliet) say(" File and Directory Record Location  J:" + Lba8(L.JolietDirArea));
  say(" First File Location                  :" + Lba8(L.FirstFile));
  return L;
}

std::string DescriptorDate(TDateTime value) {
  platform::DateParts p{};
  if (!platform::DecodeDateTime(value, p)) return "0000000000000000";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d%02d", p.year, p.month, p.day, p.hour, p.minute, p.second,
                p.millisecond);
  return std::string(buf).substr(0, 16);
}

namespace {

class MetadataWriter {
 public:
  MetadataWriter(const Compilation& c, const TLayout& l, const TVolumeInfo& i) : comp_(c), L(l), info_(i) {}

  // False when a record came out longer or shorter than the layout planned.
  bool Consistent() const { return consistent_; }

  void Write(std::vector<std::uint8_t>& out) {
    out.assign(L.MetadataBytes(), 0);
    base_ = out.data();
    baseLba_ = L.StartAddress;
    VolumeDescriptor(L.Pvd, false);
    if (L.Bootable) BootRecord();
    if (L.Joliet) VolumeDescriptor(L.JolietSvd, true);
    Terminator();
    PathTable(L.IsoL, L.IsoOrder, false, false);
    PathTable(L.IsoM, L.IsoOrder, false, true);
    if (L.Joliet) {
      PathTable(L.JolietL, L.JolietOrder, true, false);
      PathTable(L.JolietM, L.JolietOrder, true, true);
    }
    std::optional<TSystemUse> susp;
    if (L.RockRidge) susp.emplace(comp_, L, info_.Now, info_.TimeZoneBias, out.data(), L.StartAddress, L.MetadataEnd);
    for (std::size_t i = 0; i < L.IsoDirs.size(); ++i)
      Directory(*L.IsoDirs[i], RecordsOf(L, i, false), DotsOf(L, i, false), false, susp ? &*susp : nullptr);
    if (L.Joliet)
      for (std::size_t i = 0; i < comp_.Dirs().size(); ++i)
        Directory(*L.IsoDirs[i], RecordsOf(L, i, true), {34, 34}, true, nullptr);
    if (L.Bootable) BootCatalog();
  }

  // The same bytes, only sectors [lba, lba + sectors) of them: each
  // structure that reaches into the range is written whole into a scratch
  // buffer and its part in the range copied out.
  void WriteRange(std::uint32_t lba, std::uint32_t sectors, std::uint8_t* out) {
    std::memset(out, 0, static_cast<std::size_t>(sectors) * kSectorSize);
    const std::uint32_t end = lba + sectors;
    std::vector<std::uint8_t> scratch;
    auto emit = [&](std::uint32_t first, std::uint32_t count, const auto& write) {
      if (count == 0 || first >= end || first + count <= lba) return;
      scratch.assign(static_cast<std::size_t>(count) * kSectorSize, 0);
      base_ = scratch.data();
      baseLba_ = first;
      write();
      const std::uint32_t from = std::max(first, lba), to = std::min(first + count, end);
      std::memcpy(out + static_cast<std::size_t>(from - lba) * kSectorSize,
                  scratch.data() + static_cast<std::size_t>(from - first) * kSectorSize,
                  static_cast<std::size_t>(to - from) * kSectorSize);
    };
    emit(L.Pvd, 1, [&] { VolumeDescriptor(L.Pvd, false); });
    if (L.Bootable) emit(L.BootRecord, 1, [&] { BootRecord(); });
    if (L.Joliet) emit(L.JolietSvd, 1, [&] { VolumeDescriptor(L.JolietSvd, true); });
    emit(L.Terminator, 1, [&] { Terminator(); });
    const std::uint32_t isoTable = SectorsOf(L.IsoPathTableSize), jolietTable = SectorsOf(L.JolietPathTableSize);
    emit(L.IsoL, isoTable, [&] { PathTable(L.IsoL, L.IsoOrder, false, false); });
    emit(L.IsoM, isoTable, [&] { PathTable(L.IsoM, L.IsoOrder, false, true); });
    if (L.Joliet) {
      emit(L.JolietL, jolietTable, [&] { PathTable(L.JolietL, L.JolietOrder, true, false); });
      emit(L.JolietM, jolietTable, [&] { PathTable(L.JolietM, L.JolietOrder, true, true); });
    }
    // Directory extents lie in directory order in each area, and so do
    // the pieces of their continuation areas: the first directory reaching
    // into the range is found by bisection.
    std::optional<TSystemUse> susp;
    if (L.RockRidge) {
      if (L.RockRidgeCursor.size() != L.IsoDirs.size() + 1) {
        consistent_ = false;
        return;
      }
      susp.emplace(comp_, L, info_.Now, info_.TimeZoneBias, out, lba, end);
    }
    for (const bool joliet : {false, true}) {
      if (joliet && !L.Joliet) break;
      const std::uint32_t area = joliet ? L.JolietDirArea : L.IsoDirArea;
      const std::size_t count = joliet ? comp_.Dirs().size() : L.IsoDirs.size();
      auto first = [&](std::size_t i) {
        const TDEntry& d = *L.IsoDirs[i];
        return area + static_cast<std::uint32_t>(joliet ? d.JolietExtentOffset : d.IsoExtentOffset);
      };
      auto sectorsOf = [&](std::size_t i) {
        const TDEntry& d = *L.IsoDirs[i];
        return SectorsOf(joliet ? d.JolietExtentSize : d.IsoExtentSize);
      };
      // The continuation sectors directory i's pieces take: [from, to).
      const bool continued = !joliet && susp;
      auto pieceFirst = [&](std::size_t i) {
        return L.RockRidgeArea + static_cast<std::uint32_t>(L.RockRidgeCursor[i] / kSectorSize);
      };
      auto pieceEnd = [&](std::size_t i) {
        return L.RockRidgeArea + static_cast<std::uint32_t>((L.RockRidgeCursor[i + 1] + kSectorSize - 1) / kSectorSize);
      };
      // Monotone in i, as both kinds of places are.
      auto before = [&](std::size_t i) {
        return first(i) + sectorsOf(i) <= lba && (!continued || pieceEnd(i) <= lba);
      };
      std::size_t lo = 0, hi = count;
      while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (before(mid)) lo = mid + 1;
        else hi = mid;
      }
      for (std::size_t i = lo; i < count; ++i) {
        if (first(i) >= end && (!continued || pieceFirst(i) >= end)) break;
        const bool extentIn = first(i) < end && first(i) + sectorsOf(i) > lba;
        const bool piecesIn = continued && L.RockRidgeCursor[i] != L.RockRidgeCursor[i + 1] && pieceFirst(i) < end &&
                              pieceEnd(i) > lba;
        if (!extentIn && !piecesIn) continue;
        const TDEntry& d = *L.IsoDirs[i];
        const std::uint32_t n = sectorsOf(i);
        scratch.assign(static_cast<std::size_t>(n) * kSectorSize, 0);
        base_ = scratch.data();
        baseLba_ = first(i);
        if (joliet) {
          Directory(d, RecordsOf(L, i, true), {34, 34}, true, nullptr);
        } else {
          if (susp) susp->Seek(L.RockRidgeCursor[i]);
          Directory(d, RecordsOf(L, i, false), DotsOf(L, i, false), false, susp ? &*susp : nullptr);
        }
        if (!extentIn) continue;
        const std::uint32_t from = std::max(first(i), lba), to = std::min(first(i) + n, end);
        std::memcpy(out + static_cast<std::size_t>(from - lba) * kSectorSize,
                    scratch.data() + static_cast<std::size_t>(from - first(i)) * kSectorSize,
                    static_cast<std::size_t>(to - from) * kSectorSize);
      }
    }
    if (L.Bootable) emit(L.BootCatalog, 1, [&] { BootCatalog(); });
  }

 private:
  std::uint8_t* Sector(std::uint32_t lba) { return base_ + static_cast<std::size_t>(lba - baseLba_) * kSectorSize; }

  void Terminator() {
    std::uint8_t* t = Sector(L.Terminator);
    t[0] = 255;
    std::memcpy(t + 1, "CD001", 5);
    t[6] = 1;
  }

  // 8-bit descriptor text: uppercased, non-ASCII characters as "_", cut and
  // padded with blanks.
  static void Text(std::uint8_t* p, std::size_t width, const std::string& s) {
    std::string t;
    for (std::size_t i = 0; i < s.size(); ++i) {
      const auto c = static_cast<unsigned char>(s[i]);
      if (c >= 0x80) {
        if ((c & 0xC0) != 0x80) t += '_';
      } else {
        t += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : static_cast<char>(c);
      }
    }
    for (std::size_t i = 0; i < width; ++i) p[i] = i < t.size() ? static_cast<std::uint8_t>(t[i]) : ' ';
  }

  // UCS-2 descriptor text: units cut (pairs kept whole) and padded with
  // UCS-2 blanks.
  static void Text16(std::uint8_t* p, std::size_t chars, const std::string& s) {
    const std::u16string units = platform::TruncateUtf16(platform::Utf8ToUtf16(s), chars);
    for (std::size_t i = 0; i < chars; ++i) be::store16(p + 2 * i, i < units.size() ? units[i] : u' ');
  }

  // Sixteen digits of local date and time, then the offset from UTC in
  // 15-minute units.
  static void Date17(std::uint8_t* p, const std::string& digits, std::int8_t zoneQuarters = 0) {
    std::memcpy(p, digits.data(), std::min<std::size_t>(16, digits.size()));
    p[16] = static_cast<std::uint8_t>(zoneQuarters);
  }

  // The offset in force at a date given as a local date and time; a date
  // left at 0 (not set) has none.
  static std::int8_t OffsetOfLocal(TDateTime value) {
    return value == 0 ? 0 : ZoneQuarters(platform::UtcOffsetMinutesOfLocal(value));
  }

  void RootRecord(std::uint8_t* p, bool joliet) {
    const TDEntry& root = *comp_.Root();
    p[0] = 34;
    both::store32(p + 2, joliet ? L.JolietDirArea : L.IsoDirArea);
    both::store32(p + 10, static_cast<std::uint32_t>(joliet ? root.JolietExtentSize : root.IsoExtentSize));
    p[25] = 2;
    both::store16(p + 28, 1);
    p[32] = 1;
    p[33] = 0;
  }

  void VolumeDescriptor(std::uint32_t lba, bool joliet) {
    std::uint8_t* p = Sector(lba);
    p[0] = joliet ? 2 : 1;
    std::memcpy(p + 1, "CD001", 5);
    p[6] = 1;
    auto text = [&](std::size_t off, std::size_t bytes, const std::string& s) {
      if (joliet)
        Text16(p + off, bytes / 2, s);
      else
        Text(p + off, bytes, s);
    };
    text(8, 32, info_.IdSystem);
    text(40, 32, info_.IdVolume);
    both::store32(p + 80, static_cast<std::uint32_t>(L.VolumeSize));
    // The escape sequence marks the Joliet descriptor only: in the primary
    // descriptor these bytes are reserved, and readers that look for it in
    // any descriptor (isoinfo, libcdio) would take the ISO tree for Joliet.
    if (joliet) p[88] = 0x25, p[89] = 0x2F, p[90] = 0x40;
    both::store16(p + 120, 1);
    both::store16(p + 124, 1);
    both::store16(p + 128, kSectorSize);
    both::store32(p + 132, joliet ? L.JolietPathTableSize : L.IsoPathTableSize);
    le::store32(p + 140, joliet ? L.JolietL : L.IsoL);
    be::store32(p + 148, joliet ? L.JolietM : L.IsoM);
    RootRecord(p + 156, joliet);
    text(190, 128, info_.IdVolumeSet);
    text(318, 128, info_.IdPublisher);
    text(446, 128, info_.IdPreparer);
    text(574, 128, info_.IdApplication);
    text(702, joliet ? 36 : 37, info_.FileCopyright);
    text(739, joliet ? 36 : 37, info_.FileAbstract);
    text(776, joliet ? 36 : 37, info_.FileBibliographic);
    const std::int8_t nowOffset = ZoneQuarters(-info_.TimeZoneBias);
    Date17(p + 813, DescriptorDate(joliet ? info_.DateCreation : info_.Now),
           joliet ? OffsetOfLocal(info_.DateCreation) : nowOffset);
    Date17(p + 830, DescriptorDate(joliet ? info_.DateModification : info_.Now),
           joliet ? OffsetOfLocal(info_.DateModification) : nowOffset);
    Date17(p + 847, "0000000000000000");
    Date17(p + 864, "0000000000000000");
    p[881] = 1;
    Text(p + 1024, 8, info_.ApplicationUse);
  }

  void BootRecord() {
    std::uint8_t* p = Sector(L.BootRecord);
    p[0] = 0;
    std::memcpy(p + 1, "CD001", 5);
    p[6] = 1;
    static const char kId[] = "EL TORITO SPECIFICATION";
    std::memcpy(p + 7, kId, sizeof kId - 1);
    le::store32(p + 71, L.BootCatalog);
  }

  void BootCatalog() {
    std::uint8_t* p = Sector(L.BootCatalog);
    p[0] = 1;
    p[1] = 0;  // 80x86
    static const char kId[] = "Zantic CD/DVD Burner";
    std::memcpy(p + 4, kId, sizeof kId - 1);
    p[30] = 0x55, p[31] = 0xAA;
    std::uint32_t sum = 0;
    for (int i = 0; i < 16; ++i) sum += le::load16(p + 2 * i);
    le::store16(p + 28, static_cast<std::uint16_t>(0x10000 - (sum & 0xFFFF)));
    p[32] = 0x88;
    p[33] = BootMediaType(L.BootImageSectors);
    le::store16(p + 38, 1);
    le::store32(p + 40, L.BootImage);
  }

  void PathTable(std::uint32_t lba, const std::vector<TDEntry*>& order, bool joliet, bool bigEndian) {
    std::uint8_t* base = Sector(lba);
    std::size_t pos = 0;
    const std::uint32_t area = joliet ? L.JolietDirArea : L.IsoDirArea;
    for (std::size_t i = 0; i < order.size(); ++i) {
      const TDEntry& d = *order[i];
      const std::string id = i == 0 ? std::string(1, '\0') : (joliet ? JolietDirIdentifier(d) : IsoDirIdentifier(d));
      std::uint8_t* p = base + pos;
      p[0] = static_cast<std::uint8_t>(id.size());
      p[1] = 0;
      const std::uint32_t extent = area + static_cast<std::uint32_t>(joliet ? d.JolietExtentOffset : d.IsoExtentOffset);
      const std::uint16_t parent = static_cast<std::uint16_t>(
          i == 0 ? 1 : (joliet ? d.Parent->JolietPathTableNumber : L.IsoParent(d)->PathTableNumber));
      if (bigEndian) {
        be::store32(p + 2, extent);
        be::store16(p + 6, parent);
      } else {
        le::store32(p + 2, extent);
        le::store16(p + 6, parent);
      }
      std::memcpy(p + 8, id.data(), id.size());
      pos += 8 + id.size() + (id.size() % 2);
    }
  }

  static void RecordDate(std::uint8_t* p, TDateTime value, std::int8_t zoneQuarters) {
    platform::DateParts d{};
    if (!platform::DecodeDateTime(value, d)) return;
    p[0] = static_cast<std::uint8_t>(std::clamp(d.year - 1900, 0, 255));
    p[1] = static_cast<std::uint8_t>(d.month);
    p[2] = static_cast<std::uint8_t>(d.day);
    p[3] = static_cast<std::uint8_t>(d.hour);
    p[4] = static_cast<std::uint8_t>(d.minute);
    p[5] = static_cast<std::uint8_t>(d.second);
    p[6] = static_cast<std::uint8_t>(zoneQuarters);
  }

  // systemUse: the record's System Use area, after the identifier and its
  // pad byte.
  static void Record(std::uint8_t* p, const std::string& id, std::uint32_t extent, std::uint32_t size,
                     TDateTime date, std::int8_t zoneQuarters, std::uint8_t flags, std::string_view systemUse = {}) {
    const std::size_t len = RecordLength(id.size());
    p[0] = static_cast<std::uint8_t>(len + systemUse.size());
    if (!systemUse.empty()) std::memcpy(p + len, systemUse.data(), systemUse.size());
    both::store32(p + 2, extent);
    both::store32(p + 10, size);
    RecordDate(p + 18, date, zoneQuarters);
    p[25] = flags;
    both::store16(p + 28, 1);
    p[32] = static_cast<std::uint8_t>(id.size());
    std::memcpy(p + 33, id.data(), id.size());
  }

  void Directory(const TDEntry& dir, const TDirRecords& records, std::pair<std::size_t, std::size_t> dots, bool joliet,
                 TSystemUse* susp) {
    const std::uint32_t area = joliet ? L.JolietDirArea : L.IsoDirArea;
    auto dirExtent = [&](const TDEntry& d) {
      return area + static_cast<std::uint32_t>(joliet ? d.JolietExtentOffset : d.IsoExtentOffset);
    };
    auto dirSize = [&](const TDEntry& d) {
      return static_cast<std::uint32_t>(joliet ? d.JolietExtentSize : d.IsoExtentSize);
    };
    std::uint8_t* base = Sector(dirExtent(dir));
    const std::int8_t nowOffset = ZoneQuarters(-info_.TimeZoneBias);
    if (susp) susp->BeginDirectory(dir, records.children);
    // Files take their serial number from their place among the records.
    const std::uint32_t firstSerial =
        0x80000000u + static_cast<std::uint32_t>(records.children.empty() ? 0 : records.children.data() - L.IsoRecords.data());
    WalkRecords(records.children, records.lengths, joliet, dots, [&](std::int64_t off, std::size_t len,
                                                                     const TFEntry* c, std::int64_t part,
                                                                     std::size_t index) {
      std::uint8_t* p = base + off;
      if (!c) {
        const TDEntry& target = part == -1 ? dir : *(joliet ? dir.Parent : L.IsoParent(dir));
        const std::string su = susp ? (part == -1 ? susp->Dot(dir, 34) : susp->DotDot(dir, 34)) : std::string();
        Record(p, std::string(1, part == -1 ? '\0' : '\1'), dirExtent(target), dirSize(target), info_.Now,
               nowOffset, 2, su);
        return;
      }
      const std::string id = joliet ? JolietRecordIdentifier(*c) : IsoRecordIdentifier(*c);
      std::uint8_t flags = (c->Attributes & platform::faHidden) ? 1 : 0;
      std::string su;
      if (susp)
        su = susp->Child(*c, RoleOf(L, dir, *c), firstSerial + static_cast<std::uint32_t>(index), RecordLength(id.size()));
      // The layout and this walk must agree on every record's length.
      if (len != RecordLength(id.size()) + su.size()) consistent_ = false;
      if (c->Directory) {
        if (susp && RoleOf(L, dir, *c) == TSystemUse::Role::Placeholder) {
          // Moved for ISO 9660 readers: an empty file here, its CL entry
          // leading Rock Ridge readers to the directory.
          Record(p, id, dirExtent(*c->Directory), 0, c->Date, c->ZoneOffset, flags, su);
          return;
        }
        Record(p, id, dirExtent(*c->Directory), dirSize(*c->Directory), c->Date, c->ZoneOffset, flags | 2, su);
        return;
      }
      const std::int64_t parts = ExtentCount(c->Size);
      std::int64_t size = c->Size;
      std::uint32_t extent = 0;
      if (c->Imported)
        extent = static_cast<std::uint32_t>(joliet ? c->JolietExtent : c->Extent);
      else if (c->Size != 0)
        extent = L.FirstFile + static_cast<std::uint32_t>(joliet ? c->JolietExtent : c->Extent);
      if (parts > 1) {
        size = part + 1 < parts ? kMaxExtentBytes : c->Size - kMaxExtentBytes * (parts - 1);
        extent += static_cast<std::uint32_t>(part * (kMaxExtentBytes / kSectorSize));
        if (part + 1 < parts) flags |= 0x80;
      }
      Record(p, id, extent, static_cast<std::uint32_t>(size), c->Date, c->ZoneOffset, flags, su);
    });
  }

  bool consistent_ = true;
  const Compilation& comp_;
  const TLayout& L;
  const TVolumeInfo& info_;
  std::uint8_t* base_ = nullptr;  // where sector baseLba_ is written
  std::uint32_t baseLba_ = 0;
};

}  // namespace

bool BuildMetadata(const Compilation& compilation, const TLayout& layout, const TVolumeInfo& info,
                   std::vector<std::uint8_t>& out) {
  if (layout.IsoOrder.size() != layout.IsoDirs.size() || layout.IsoDirs.size() < compilation.Dirs().size()) return false;
  MetadataWriter writer(compilation, layout, info);
  writer.Write(out);
  return writer.Consistent();
}

TMetadataSource::TMetadataSource(const Compilation& compilation, const TLayout& layout, const TVolumeInfo& info)
    : compilation_(compilation), layout_(layout), info_(info) {}

bool TMetadataSource::Read(std::uint32_t firstSector, std::uint32_t sectors, std::uint8_t* out) const {
  if (layout_.IsoOrder.size() != layout_.IsoDirs.size() || layout_.IsoDirs.size() < compilation_.Dirs().size())
    return false;
  if (firstSector > Sectors() || sectors > Sectors() - firstSector) return false;
  MetadataWriter writer(compilation_, layout_, info_);
  writer.WriteRange(layout_.StartAddress + firstSector, sectors, out);
  return writer.Consistent();
}

}  // namespace velloran::image
