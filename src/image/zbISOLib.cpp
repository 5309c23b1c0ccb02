#include "image/zbISOLib.h"

#include "drive/byte_order.h"
#include "image/iso_names.h"
#include "platform/ucs2.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

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
// place(offsetInExtent, length, child, part) for each ("." and ".." have no
// child and parts -1 and -2); returns the extent size in bytes.
// lengths: each child's record length when known (else computed here).
template <typename Place>
std::int64_t WalkRecords(std::span<const TFEntry* const> children, std::span<const std::uint8_t> lengths, bool joliet,
                         Place place) {
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
  put(34, static_cast<const TFEntry*>(nullptr), std::int64_t{-1});
  put(34, static_cast<const TFEntry*>(nullptr), std::int64_t{-2});
  for (std::size_t i = 0; i < children.size(); ++i) {
    const TFEntry* c = children[i];
    const std::size_t len = i < lengths.size()
                                ? lengths[i]
                                : RecordLength((joliet ? JolietRecordIdentifier(*c) : IsoRecordIdentifier(*c)).size());
    const std::int64_t parts = c->IsDirectory() ? 1 : ExtentCount(c->Size);
    for (std::int64_t k = 0; k < parts; ++k) put(len, c, k);
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

// Every directory's children in record order, with their record lengths,
// for one name space.
void SortRecords(const Compilation& c, bool joliet, std::vector<const TFEntry*>& records,
                 std::vector<std::uint8_t>& lengths, std::vector<std::uint32_t>& start) {
  records.clear();
  lengths.clear();
  start.clear();
  records.reserve(c.Files().size());
  lengths.reserve(c.Files().size());
  start.reserve(c.Dirs().size() + 1);
  for (const auto& d : c.Dirs()) {
    start.push_back(static_cast<std::uint32_t>(records.size()));
    SortedChildren(*d, joliet, records, &lengths);
  }
  start.push_back(static_cast<std::uint32_t>(records.size()));
}

}  // namespace

std::int64_t DirectoryExtentSize(std::span<const TFEntry* const> sortedChildren, bool joliet) {
  return WalkRecords(sortedChildren, {}, joliet, [](std::int64_t, std::size_t, const TFEntry*, std::int64_t) {});
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

  say(std::to_string(compilation.FileCount()) + " Files Added to CD, now sorting");
  say("Sorting .... ISO9660 LN-PN");
  L.IsoOrder = OrderIsoPathTable(compilation);
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

  // Directory extents, offsets in directory-array order.
  SortRecords(compilation, false, L.IsoRecords, L.IsoRecordLengths, L.IsoRecordStart);
  if (L.Joliet) SortRecords(compilation, true, L.JolietRecords, L.JolietRecordLengths, L.JolietRecordStart);
  std::int64_t isoSectors = 0, jolietSectors = 0;
  const auto& dirs = compilation.Dirs();
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    TDEntry* d = dirs[i].get();
    const TDirRecords iso = RecordsOf(L, i, false);
    d->IsoExtentSize = WalkRecords(iso.children, iso.lengths, false, [](std::int64_t, std::size_t, const TFEntry*, std::int64_t) {});
    d->IsoExtentOffset = static_cast<std::int32_t>(isoSectors);
    isoSectors += d->IsoExtentSize / kSectorSize;
    if (L.Joliet) {
      const TDirRecords joliet = RecordsOf(L, i, true);
      d->JolietExtentSize =
          WalkRecords(joliet.children, joliet.lengths, true, [](std::int64_t, std::size_t, const TFEntry*, std::int64_t) {});
      d->JolietExtentOffset = static_cast<std::int32_t>(jolietSectors);
      jolietSectors += d->JolietExtentSize / kSectorSize;
    } else {
      d->JolietExtentSize = 0;
      d->JolietExtentOffset = 0;
    }
  }
  L.IsoDirSectors = static_cast<std::uint32_t>(isoSectors);
  L.JolietDirSectors = static_cast<std::uint32_t>(jolietSectors);

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
  MetadataWriter(const Compilation& c, const TLayout& l, const TVolumeInfo& i, std::vector<std::uint8_t>& o)
      : comp_(c), L(l), info_(i), out_(o) {}

  void Write() {
    out_.assign(L.MetadataBytes(), 0);
    VolumeDescriptor(L.Pvd, false);
    if (L.Bootable) BootRecord();
    if (L.Joliet) VolumeDescriptor(L.JolietSvd, true);
    std::uint8_t* t = Sector(L.Terminator);
    t[0] = 255;
    std::memcpy(t + 1, "CD001", 5);
    t[6] = 1;
    PathTable(L.IsoL, L.IsoOrder, false, false);
    PathTable(L.IsoM, L.IsoOrder, false, true);
    if (L.Joliet) {
      PathTable(L.JolietL, L.JolietOrder, true, false);
      PathTable(L.JolietM, L.JolietOrder, true, true);
    }
    const auto& dirs = comp_.Dirs();
    for (std::size_t i = 0; i < dirs.size(); ++i) Directory(*dirs[i], RecordsOf(L, i, false), false);
    if (L.Joliet)
      for (std::size_t i = 0; i < dirs.size(); ++i) Directory(*dirs[i], RecordsOf(L, i, true), true);
    if (L.Bootable) BootCatalog();
  }

 private:
  std::uint8_t* Sector(std::uint32_t lba) { return out_.data() + static_cast<std::size_t>(lba - L.StartAddress) * kSectorSize; }

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
      const std::uint16_t parent =
          static_cast<std::uint16_t>(i == 0 ? 1 : (joliet ? d.Parent->JolietPathTableNumber : d.Parent->PathTableNumber));
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

  static void Record(std::uint8_t* p, const std::string& id, std::uint32_t extent, std::uint32_t size,
                     TDateTime date, std::int8_t zoneQuarters, std::uint8_t flags) {
    const std::size_t len = RecordLength(id.size());
    p[0] = static_cast<std::uint8_t>(len);
    both::store32(p + 2, extent);
    both::store32(p + 10, size);
    RecordDate(p + 18, date, zoneQuarters);
    p[25] = flags;
    both::store16(p + 28, 1);
    p[32] = static_cast<std::uint8_t>(id.size());
    std::memcpy(p + 33, id.data(), id.size());
  }

  void Directory(const TDEntry& dir, const TDirRecords& records, bool joliet) {
    const std::uint32_t area = joliet ? L.JolietDirArea : L.IsoDirArea;
    auto dirExtent = [&](const TDEntry& d) {
      return area + static_cast<std::uint32_t>(joliet ? d.JolietExtentOffset : d.IsoExtentOffset);
    };
    auto dirSize = [&](const TDEntry& d) {
      return static_cast<std::uint32_t>(joliet ? d.JolietExtentSize : d.IsoExtentSize);
    };
    std::uint8_t* base = Sector(dirExtent(dir));
    const std::int8_t nowOffset = ZoneQuarters(-info_.TimeZoneBias);
    WalkRecords(records.children, records.lengths, joliet, [&](std::int64_t off, std::size_t, const TFEntry* c,
                                                               std::int64_t part) {
      std::uint8_t* p = base + off;
      if (!c) {
        const TDEntry& target = part == -1 ? dir : *dir.Parent;
        Record(p, std::string(1, part == -1 ? '\0' : '\1'), dirExtent(target), dirSize(target), info_.Now,
               nowOffset, 2);
        return;
      }
      const std::string id = joliet ? JolietRecordIdentifier(*c) : IsoRecordIdentifier(*c);
      std::uint8_t flags = (c->Attributes & platform::faHidden) ? 1 : 0;
      if (c->Directory) {
        Record(p, id, dirExtent(*c->Directory), dirSize(*c->Directory), c->Date, c->ZoneOffset, flags | 2);
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
      Record(p, id, extent, static_cast<std::uint32_t>(size), c->Date, c->ZoneOffset, flags);
    });
  }

  const Compilation& comp_;
  const TLayout& L;
  const TVolumeInfo& info_;
  std::vector<std::uint8_t>& out_;
};

}  // namespace

bool BuildMetadata(const Compilation& compilation, const TLayout& layout, const TVolumeInfo& info,
                   std::vector<std::uint8_t>& out) {
  if (layout.IsoOrder.size() != compilation.Dirs().size()) return false;
  MetadataWriter(compilation, layout, info, out).Write();
  return true;
}

}  // namespace velloran::image
