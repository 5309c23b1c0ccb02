#include "image/session_import.h"

#include "drive/byte_order.h"
#include "drive/zbConst.h"
#include "platform/ucs2.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace velloran::image {

namespace {

constexpr std::size_t kRecordFixed = 33;       // bytes before the identifier
constexpr std::size_t kLastRecordStart = 2015;  // 2048 - the smallest record (34 bytes) + 1
// Joliet names of up to 110 characters are what discs (this program's
// among them) record, in identifiers of up to 220 bytes; a record holds 222.
constexpr std::size_t kMaxJolietIdentifier = 222;
constexpr std::size_t kMaxIsoIdentifier = 239;
constexpr std::size_t kShortNameLength = 13;  // as CreateDir cuts them

std::string Format(const char* format, std::uint32_t a, std::uint32_t b = 0) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, a, b);
  return buf;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysIn(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// A Joliet descriptor announces UCS-2 level 1, 2 or 3 with one of these
// escape sequences; a type 2 descriptor without one is some other
// supplementary volume whose names are not UCS-2.
bool IsJolietEscape(const std::uint8_t* d) {
  return d[88] == 0x25 && d[89] == 0x2F && (d[90] == 0x40 || d[90] == 0x43 || d[90] == 0x45);
}

std::string ShortDirName(const std::string& longName) {
  std::string s = Compilation::UpperAscii(longName.substr(0, kShortNameLength));
  for (char& c : s)
    if (static_cast<unsigned char>(c) < '!' || static_cast<unsigned char>(c) > 'z') c = '_';
  return s;
}

}  // namespace

SectorParse ParseDirectorySector(std::span<const std::uint8_t> sector, std::vector<TDirRecord>& out) {
  const std::size_t end = std::min<std::size_t>(sector.size(), kSectorSize);
  std::size_t pos = 0;
  while (pos < kLastRecordStart && pos < end) {
    const std::uint8_t length = sector[pos];
    if (length == 0) break;
    if (pos + length > end) return SectorParse::RecordTooLong;
    if (length < kRecordFixed + 1) return SectorParse::RecordTooShort;
    const std::uint8_t* p = sector.data() + pos;
    const std::uint8_t idLength = p[32];
    if (idLength == 0 || kRecordFixed + idLength > length) return SectorParse::RecordTooShort;
    TDirRecord r;
    r.Offset = static_cast<std::uint32_t>(pos);
    r.Length = length;
    r.Extent = le::load32(p + 2);
    r.Size = le::load32(p + 10);
    std::memcpy(r.Date, p + 18, 7);
    r.Flags = p[25];
    r.Identifier = sector.subspan(pos + kRecordFixed, idLength);
    out.push_back(r);
    pos += length;
  }
  return SectorParse::Complete;
}

std::string RecordName(std::span<const std::uint8_t> identifier, bool joliet, bool& changed) {
  changed = false;
  std::string name;
  if (joliet) {
    // UCS-2 units; an odd trailing byte belongs to no character.
    std::size_t units = identifier.size() / 2;
    for (std::size_t i = 0; i < units; ++i)
      if (identifier[2 * i] == 0 && identifier[2 * i + 1] == ';') {
        units = i;
        break;
      }
    name = platform::Ucs2BeToUtf8(
        std::string_view(reinterpret_cast<const char*>(identifier.data()), units * 2));
  } else {
    for (std::uint8_t c : identifier) {
      if (c == ';') break;
      name.push_back(static_cast<char>(c));
    }
  }
  // Path separators would make the compilation see folders that are not
  // there; control characters have no place in a name on any system.
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '/' || c == '\\') {
      c = '_';
      changed = true;
    }
  }
  return name;
}

bool RecordTime(const std::uint8_t date[7], std::time_t& out) {
  out = 0;
  bool allZero = true;
  for (int i = 0; i < 6; ++i) allZero = allZero && date[i] == 0;
  if (allZero) return true;
  const int year = 1900 + date[0], month = date[1], day = date[2];
  const int hour = date[3], minute = date[4], second = date[5];
  if (month < 1 || month > 12 || day < 1 || day > DaysIn(year, month) || hour > 23 || minute > 59 || second > 59)
    return false;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return false;
  out = t == 0 ? 1 : t;  // 0 stands for "no date" in the tree
  return true;
}

struct TSessionImporter::Pending {
  bool active = false;
  std::string name;
  std::uint32_t extent = 0;
  std::uint32_t next = 0;  // where the next part must start
  std::uint64_t size = 0;
  int attr = 0;
  std::time_t time = 0;
  rr::TAttributes posix;  // of the first record (Rock Ridge)
  std::string identifier;  // of the first record, as recorded
};

TSessionImporter::TSessionImporter(Compilation& tree, SectorReader read, DebugFn debug, TImportLimits limits)
    : tree_(tree), read_(std::move(read)), debug_(std::move(debug)), limits_(limits) {}

void TSessionImporter::Error(const std::string& text) {
  if (debug_) debug_(text, 4);
}

bool TSessionImporter::ImportFrom(std::uint32_t trackStart, int sessionNo, TDEntry* root) {
  if (!root) root = tree_.Root();
  std::array<std::uint8_t, kSectorSize> d{};
  // The descriptor area must lie within the 32-bit block space.
  rr_ = false;
  if (trackStart <= 0xFFFFFFFFu - 36) {
    // Rock Ridge keeps more than Joliet (the names as given, modes, times,
    // links): a session that has it is read through its ISO 9660 tree.
    if (RockRidge) {
      for (std::uint32_t lba = trackStart + 16; lba <= trackStart + 36; ++lba) {
        if (!read_(lba, d.data()) || std::memcmp(&d[1], "CD001", 5) != 0) continue;
        if (d[0] == 255) break;
        if (d[0] != 1) continue;
        const std::uint32_t extent = le::load32(&d[158]);
        const std::uint32_t size = le::load32(&d[166]);
        volumeEnd_ = le::load32(&d[80]);
        if (!HasRockRidge(extent)) break;
        rr_ = true;
        ImportIsoDir(extent, size, root);
        return true;
      }
      volumeEnd_ = 0;
    }
    for (const bool joliet : {true, false}) {
      for (std::uint32_t lba = trackStart + 16; lba <= trackStart + 36; ++lba) {
        if (!read_(lba, d.data())) continue;
        if (std::memcmp(&d[1], "CD001", 5) != 0) continue;
        if (d[0] == 255) break;
        const bool wanted = joliet ? (d[0] == 2 && IsJolietEscape(d.data())) : d[0] == 1;
        if (!wanted) continue;
        const std::uint32_t extent = le::load32(&d[158]);
        const std::uint32_t size = le::load32(&d[166]);
        volumeEnd_ = le::load32(&d[80]);
        if (joliet)
          ImportJolietDir(extent, size, root);
        else
          ImportIsoDir(extent, size, root);
        return true;
      }
    }
  }
  char text[128];
  std::snprintf(text, sizeof text, drive::msg::ERROR_IMPORTING_SESSION_NOT_FOUND, sessionNo);
  Error(std::string(">>> ") + text);
  return false;
}

bool TSessionImporter::HasRockRidge(std::uint32_t rootExtent) {
  // SUSP: an SP entry opens the System Use area of the root's "." record;
  // Rock Ridge is there when an ER names it, or (for writers that leave ER
  // out) the root has its POSIX attributes. Other extensions alone (Apple's,
  // say) give no names: Joliet's are better then.
  std::array<std::uint8_t, kSectorSize> sector{};
  if (volumeEnd_ != 0 && rootExtent >= volumeEnd_) return false;
  if (!read_(rootExtent, sector.data())) return false;
  std::vector<TDirRecord> records;
  ParseDirectorySector(sector, records);
  if (records.empty() || records.front().Identifier.size() != 1 || records.front().Identifier[0] != 0) return false;
  const TDirRecord& dot = records.front();
  const std::size_t at = dot.Offset + kRecordFixed + 1;
  if (!(at + 7 <= std::size_t{dot.Offset} + dot.Length && sector[at] == 'S' && sector[at + 1] == 'P' &&
        sector[at + 4] == 0xBE && sector[at + 5] == 0xEF))
    return false;
  skip_ = 0;
  rr::TAttributes root;
  SystemUse(dot, root);
  skip_ = root.skip;
  return root.rripExtension || root.hasMode;
}

void TSessionImporter::SystemUse(const TDirRecord& r, rr::TAttributes& out) {
  const std::uint8_t* record = r.Identifier.data() - kRecordFixed;
  const std::size_t at = kRecordFixed + r.Identifier.size() + (r.Identifier.size() % 2 == 0 ? 1 : 0) + skip_;
  if (at >= r.Length) return;
  rr::TContinuation next;
  rr::ParseArea({record + at, record + r.Length}, out, next);
  // Continuation areas: a few at most per record (a name and a link fill
  // one), each inside one sector.
  std::array<std::uint8_t, kSectorSize> area{};
  for (int hops = 0; next.length != 0 && hops < 8 && !out.stop; ++hops) {
    const rr::TContinuation here = next;
    next = {};
    if (here.offset >= kSectorSize || here.length > kSectorSize - here.offset) break;
    if (volumeEnd_ != 0 && here.block >= volumeEnd_) break;
    if (sectorsRead_ >= limits_.MaxTotalSectors) break;
    ++sectorsRead_;
    if (!read_(here.block, area.data())) break;
    rr::ParseArea({area.data() + here.offset, here.length}, out, next);
  }
}

bool TSessionImporter::ImportJolietDir(std::uint32_t lba, std::uint32_t size, TDEntry* dir) {
  return ImportDir(lba, size, dir ? dir : tree_.Root(), true, 1);
}

bool TSessionImporter::ImportIsoDir(std::uint32_t lba, std::uint32_t size, TDEntry* dir) {
  return ImportDir(lba, size, dir ? dir : tree_.Root(), false, 1);
}

bool TSessionImporter::ImportDir(std::uint32_t lba, std::uint32_t size, TDEntry* dir, bool joliet, int depth) {
  if (stopped_) return false;
  if (size == 0 || size > limits_.MaxDirectoryBytes) {
    Error(">>> " + Format(import_msg::DIRECTORY_SIZE, size, lba));
    return false;
  }
  const std::uint32_t sectors = (size + kSectorSize - 1) / kSectorSize;
  if (lba > 0xFFFFFFFFu - sectors) {
    Error(">>> " + Format(import_msg::DIRECTORY_SIZE, size, lba));
    return false;
  }
  if (volumeEnd_ != 0 && (lba >= volumeEnd_ || sectors > volumeEnd_ - lba)) {
    Error(">>> " + Format(import_msg::OUTSIDE_VOLUME, lba));
    return false;
  }
  if (!visited_.insert(lba).second) {
    Error(">>> " + Format(import_msg::DIRECTORY_LOOP, lba));
    return false;
  }
  std::array<std::uint8_t, kSectorSize> sector{};
  std::vector<TDirRecord> records;
  Pending pending;
  bool handled = false;
  for (std::uint32_t i = 0; i < sectors && !stopped_; ++i) {
    if (sectorsRead_ >= limits_.MaxTotalSectors) {
      Error(std::string(">>> ") + import_msg::READ_LIMIT);
      stopped_ = true;
      break;
    }
    ++sectorsRead_;
    if (!read_(lba + i, sector.data())) {
      // What was entered stays; the rest of this extent is lost.
      Error(">>> " + Format(import_msg::UNREADABLE, lba + i));
      if (++unreadable_ >= limits_.MaxUnreadable) {
        Error(std::string(">>> ") + import_msg::READ_LIMIT);
        stopped_ = true;
      }
      break;
    }
    records.clear();
    const SectorParse parsed = ParseDirectorySector(sector, records);
    for (const TDirRecord& r : records) {
      if (stopped_) break;
      if (HandleRecord(r, dir, joliet, depth, pending)) handled = true;
    }
    if (parsed != SectorParse::Complete) Error(">>> " + Format(import_msg::DAMAGED_RECORD, lba + i));
  }
  if (pending.active) Error(std::string(">>> ") + import_msg::BROKEN_EXTENTS + "\n\r" + pending.name);
  return handled;
}

bool TSessionImporter::HandleRecord(const TDirRecord& r, TDEntry* dir, bool joliet, int depth, Pending& pending) {
  const auto id = r.Identifier;
  if (id.size() == 1 && (id[0] == 0 || id[0] == 1)) return false;  // "." and ".."
  if (id.size() > (joliet ? kMaxJolietIdentifier : kMaxIsoIdentifier)) {
    // The entry is not built from a name cut short: it is left out.
    Error(std::string(drive::msg::ERROR_IMPORTING_SESSION_NAME_LENGTH) + "\n\r" +
          std::string(reinterpret_cast<const char*>(id.data()), id.size()));
    return false;
  }
  rr::TAttributes posix;
  TDirRecord moved;
  const TDirRecord* rec = &r;
  if (rr_ && !joliet) {
    SystemUse(r, posix);
    // A folder moved below eight levels is met where it belongs, through
    // the placeholder that names it (CL); its record in the relocation
    // folder, and that folder, are passed over (RE).
    if (posix.relocated) return false;
    if (posix.childLink != 0) {
      std::array<std::uint8_t, kSectorSize> sector{};
      std::vector<TDirRecord> dots;
      if (volumeEnd_ != 0 && posix.childLink >= volumeEnd_) {
        Error(">>> " + Format(import_msg::OUTSIDE_VOLUME, posix.childLink) + "\n\r" + posix.name);
        return false;
      }
      if (sectorsRead_ >= limits_.MaxTotalSectors) {
        Error(std::string(">>> ") + import_msg::READ_LIMIT);
        stopped_ = true;
        return false;
      }
      ++sectorsRead_;
      if (!read_(posix.childLink, sector.data()) || (ParseDirectorySector(sector, dots), dots.empty())) {
        Error(">>> " + Format(import_msg::UNREADABLE, posix.childLink));
        return false;
      }
      moved = r;
      moved.Extent = posix.childLink;
      moved.Size = dots.front().Size;
      moved.Flags = static_cast<std::uint8_t>((r.Flags & 0x01) | 0x02);
      rec = &moved;
    }
  }
  const TDirRecord& rd = *rec;
  bool changed = false;
  std::string name = RecordName(id, joliet, changed);
  if (posix.hasName && !posix.name.empty() && posix.name.size() <= rr::kMaxName) {
    // Rock Ridge names are the names as given, "\" and ":" included: only
    // what no POSIX name holds ("/" and NUL) is replaced. A longer name
    // than any system takes is not one: the ISO 9660 name stands.
    name = posix.name;
    changed = false;
    for (char& c : name) {
      if (c == '/' || c == '\0') {
        c = '_';
        changed = true;
      }
    }
  }
  if (name.empty() || name == "." || name == "..") {
    Error(std::string(">>> ") + import_msg::INVALID_NAME + "\n\r" + name);
    return false;
  }
  if (changed) Error(std::string(">>> ") + import_msg::INVALID_NAME + "\n\r" + name);
  std::time_t time = 0;
  if (!RecordTime(r.Date, time)) {
    // A Joliet date that cannot be encoded counts as none; an ISO one
    // leaves the record out.
    if (!joliet) {
      Error(std::string(">>> ") + import_msg::INVALID_DATE + "\n\r" + name);
      return false;
    }
    time = 0;
  }
  if (posix.modified != 0) time = posix.modified;
  int attr = (rd.Flags & 0x01) ? platform::faHidden : 0;

  if (rd.Flags & 0x02) {
    if (pending.active) {
      Error(std::string(">>> ") + import_msg::BROKEN_EXTENTS + "\n\r" + pending.name);
      pending = Pending{};
    }
    attr |= platform::faDirectory;
    // A folder the compilation holds already takes the imported folder's
    // contents; a file of the same name stays beside it (the layout gives
    // one of the two another name), so no earlier file is lost.
    if (visited_.count(rd.Extent)) {
      Error(">>> " + Format(import_msg::DIRECTORY_LOOP, rd.Extent));
      return false;
    }
    if (depth >= limits_.MaxDepth) {
      Error(">>> " + Format(import_msg::TOO_DEEP, rd.Extent));
      return false;
    }
    if (rd.Size == 0 || rd.Size > limits_.MaxDirectoryBytes) {
      Error(">>> " + Format(import_msg::DIRECTORY_SIZE, rd.Size, rd.Extent));
      return false;
    }
    TFoundDir found{name,        ShortDirName(name), attr,           time ? platform::UnixToDateTime(time) : 0,
                    time,        posix.mode,         posix.uid,      posix.gid,
                    posix.accessed, posix.changed};
    const bool merged = tree_.FindChild(dir, name, true) != nullptr;
    TDEntry* sub = tree_.AddDirEntry(dir, found);
    if (!sub) {
      stopped_ = true;  // the compilation is full (reported by the tree)
      return false;
    }
    if (!merged) sub->Imported = true;
    ++dirs_;
    ImportDir(rd.Extent, rd.Size, sub, joliet, depth + 1);
    return true;
  }

  // Files of 4 GiB and more are several records of one name, each but the
  // last flagged, whose extents follow each other on the disc.
  if (pending.active) {
    // The parts share one identifier; Rock Ridge names may stand on the
    // first part only.
    const std::string identifier(reinterpret_cast<const char*>(id.data()), id.size());
    const bool continues = (name == pending.name || identifier == pending.identifier) && rd.Extent == pending.next;
    if (continues) {
      pending.size += rd.Size;
      pending.next += rd.Size / kSectorSize;
      if (!(rd.Flags & 0x80)) {
        AddFile(dir, pending.name, pending.extent, pending.size, pending.attr, pending.time,
                pending.posix.hasMode || pending.posix.hasTimes ? &pending.posix : nullptr);
        pending = Pending{};
      } else if (rd.Size % kSectorSize != 0) {
        Error(std::string(">>> ") + import_msg::BROKEN_EXTENTS + "\n\r" + name);
        pending = Pending{};
      }
      return true;
    }
    Error(std::string(">>> ") + import_msg::BROKEN_EXTENTS + "\n\r" + pending.name);
    pending = Pending{};
  }
  if (rd.Flags & 0x80) {
    if (rd.Size % kSectorSize != 0 || rd.Size == 0) {
      Error(std::string(">>> ") + import_msg::BROKEN_EXTENTS + "\n\r" + name);
      return false;
    }
    pending = Pending{true,   name, rd.Extent, rd.Extent + rd.Size / kSectorSize, rd.Size, attr, time, posix,
                      std::string(reinterpret_cast<const char*>(id.data()), id.size())};
    return true;
  }
  if (posix.isLink) {
    // A link has no data: its target is all it holds.
    if (posix.linkTarget.empty() || posix.linkTarget.size() > Compilation::kMaxLinkTarget) {
      Error(std::string(">>> ") + import_msg::INVALID_LINK + "\n\r" + name);
      return false;
    }
    AddFile(dir, name, 0, 0, attr | platform::faSymLink, time, &posix);
    return true;
  }
  AddFile(dir, name, rd.Extent, rd.Size, attr, time, posix.hasMode || posix.hasTimes ? &posix : nullptr);
  return true;
}

bool TSessionImporter::AddFile(TDEntry* dir, const std::string& name, std::uint32_t extent, std::uint64_t size,
                               int attr, std::time_t time, const rr::TAttributes* posix) {
  const std::uint64_t sectors = (size + kSectorSize - 1) / kSectorSize;
  if (volumeEnd_ != 0 && size != 0 && (extent >= volumeEnd_ || sectors > volumeEnd_ - extent)) {
    Error(">>> " + Format(import_msg::OUTSIDE_VOLUME, extent) + "\n\r" + name);
    return false;
  }
  // A file added to the compilation replaces the imported file of that
  // name. The tree gives names without a dot one ("README" becomes
  // "README."), so both spellings stand for the same entry. A folder of the
  // name does not: both stay.
  if (tree_.FindChild(dir, name, false)) return false;
  if (name.find('.') == std::string::npos && tree_.FindChild(dir, name + ".", false)) return false;
  platform::TSearchRec found;
  found.Name = name;
  found.Attr = attr;
  found.Size = static_cast<std::int64_t>(size);
  found.Time = time;
  if (posix) {
    found.Mode = posix->mode;
    found.Uid = posix->uid;
    found.Gid = posix->gid;
    found.Atime = posix->accessed;
    found.Ctime = posix->changed;
    if (attr & platform::faSymLink) found.LinkTarget = posix->linkTarget;
  }
  if (!tree_.AddFileEntry(dir, std::string(), found, 0, extent)) {
    if (tree_.FileCount() >= tree_.MaxFiles()) stopped_ = true;  // reported by the tree
    return false;
  }
  ++files_;
  return true;
}

}  // namespace velloran::image
