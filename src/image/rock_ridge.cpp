#include "image/rock_ridge.h"

#include "drive/byte_order.h"

#include <algorithm>
#include <cstring>

namespace velloran::image::rr {

namespace {

Entry Head(const char* signature, std::size_t length) {
  Entry e(length, '\0');
  e[0] = signature[0];
  e[1] = signature[1];
  e[2] = static_cast<char>(length);
  e[3] = 1;  // version
  return e;
}

std::uint8_t* Bytes(Entry& e) { return reinterpret_cast<std::uint8_t*>(e.data()); }

void Both32(Entry& e, std::size_t at, std::uint32_t v) { both::store32(Bytes(e) + at, v); }

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Days from 1970-01-01 to a civil date (Howard Hinnant's algorithm).
std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void ShortDate(std::uint8_t* p, std::time_t t, std::int8_t zoneQuarters) {
  const std::int64_t local = static_cast<std::int64_t>(t) + std::int64_t{zoneQuarters} * 15 * 60;
  std::int64_t days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
  const std::int64_t secs = local - days * 86400;
  // Civil from days.
  std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
  p[0] = static_cast<std::uint8_t>(std::clamp<std::int64_t>(y - 1900, 0, 255));
  p[1] = static_cast<std::uint8_t>(m);
  p[2] = static_cast<std::uint8_t>(d);
  p[3] = static_cast<std::uint8_t>(secs / 3600);
  p[4] = static_cast<std::uint8_t>(secs / 60 % 60);
  p[5] = static_cast<std::uint8_t>(secs % 60);
  p[6] = static_cast<std::uint8_t>(zoneQuarters);
}

// The seventeen-byte long form: "YYYYMMDDHHMMSScc" digits and the offset.
bool LongDateTime(const std::uint8_t* p, std::time_t& out) {
  int v[7] = {};
  const int widths[7] = {4, 2, 2, 2, 2, 2, 2};
  std::size_t at = 0;
  bool zero = true;
  for (int f = 0; f < 7; ++f) {
    for (int k = 0; k < widths[f]; ++k, ++at) {
      if (p[at] < '0' || p[at] > '9') return false;
      v[f] = v[f] * 10 + (p[at] - '0');
      zero = zero && p[at] == '0';
    }
  }
  if (zero) {
    out = 0;
    return true;
  }
  std::uint8_t shortForm[7] = {static_cast<std::uint8_t>(std::clamp(v[0] - 1900, 0, 255)),
                               static_cast<std::uint8_t>(v[1]),
                               static_cast<std::uint8_t>(v[2]),
                               static_cast<std::uint8_t>(v[3]),
                               static_cast<std::uint8_t>(v[4]),
                               static_cast<std::uint8_t>(v[5]),
                               p[16]};
  if (v[0] < 1900 || v[0] > 2155) return false;
  return ShortDateTime(shortForm, out);
}

}  // namespace

bool ShortDateTime(const std::uint8_t date[7], std::time_t& out) {
  out = 0;
  bool allZero = true;
  for (int i = 0; i < 6; ++i) allZero = allZero && date[i] == 0;
  if (allZero) return true;
  const int year = 1900 + date[0], month = date[1], day = date[2];
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return false;
  const int inMonth = month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
  if (day < 1 || day > inMonth || date[3] > 23 || date[4] > 59 || date[5] > 59) return false;
  const auto zone = static_cast<std::int8_t>(date[6]);
  if (zone < -48 || zone > 52) return false;
  const std::int64_t local = DaysFromCivil(year, month, day) * 86400 + date[3] * 3600 + date[4] * 60 + date[5];
  out = static_cast<std::time_t>(local - std::int64_t{zone} * 15 * 60);
  if (out == 0) out = 1;  // 0 stands for "not given"
  return true;
}

Entry SP() {
  Entry e = Head("SP", 7);
  e[4] = static_cast<char>(0xBE);
  e[5] = static_cast<char>(0xEF);
  e[6] = 0;  // no bytes skipped
  return e;
}

Entry ER() {
  static constexpr std::string_view kId = "IEEE_P1282";
  static constexpr std::string_view kDescriptor =
      "THE IEEE P1282 PROTOCOL PROVIDES SUPPORT FOR POSIX FILE SYSTEM SEMANTICS.";
  static constexpr std::string_view kSource =
      "PLEASE CONTACT THE IEEE STANDARDS DEPARTMENT, PISCATAWAY, NJ, USA FOR THE P1282 SPECIFICATION.";
  Entry e = Head("ER", 8 + kId.size() + kDescriptor.size() + kSource.size());
  e[4] = static_cast<char>(kId.size());
  e[5] = static_cast<char>(kDescriptor.size());
  e[6] = static_cast<char>(kSource.size());
  e[7] = 1;  // extension version
  std::memcpy(e.data() + 8, kId.data(), kId.size());
  std::memcpy(e.data() + 8 + kId.size(), kDescriptor.data(), kDescriptor.size());
  std::memcpy(e.data() + 8 + kId.size() + kDescriptor.size(), kSource.data(), kSource.size());
  return e;
}

Entry CE(std::uint32_t block, std::uint32_t offset, std::uint32_t length) {
  Entry e = Head("CE", kCeLength);
  Both32(e, 4, block);
  Both32(e, 12, offset);
  Both32(e, 20, length);
  return e;
}

Entry PX(std::uint32_t mode, std::uint32_t links, std::uint32_t uid, std::uint32_t gid, std::uint32_t serial) {
  Entry e = Head("PX", kPxLength);
  Both32(e, 4, mode);
  Both32(e, 12, links);
  Both32(e, 20, uid);
  Both32(e, 28, gid);
  Both32(e, 36, serial);
  return e;
}

Entry TF(std::time_t modified, std::time_t accessed, std::time_t changed, std::int8_t zoneQuarters) {
  Entry e = Head("TF", kTfLength);
  e[4] = 0x02 | 0x04 | 0x08;  // modify, access, attributes; short form
  ShortDate(Bytes(e) + 5, modified, zoneQuarters);
  ShortDate(Bytes(e) + 12, accessed, zoneQuarters);
  ShortDate(Bytes(e) + 19, changed, zoneQuarters);
  return e;
}

Entry CL(std::uint32_t childDirectory) {
  Entry e = Head("CL", 12);
  Both32(e, 4, childDirectory);
  return e;
}

Entry PL(std::uint32_t parentDirectory) {
  Entry e = Head("PL", 12);
  Both32(e, 4, parentDirectory);
  return e;
}

Entry RE() { return Head("RE", 4); }

void AppendNM(std::vector<Entry>& out, std::string_view name) {
  constexpr std::size_t kRoom = kMaxEntry - 5;
  do {
    const std::string_view piece = name.substr(0, kRoom);
    name.remove_prefix(piece.size());
    Entry e = Head("NM", 5 + piece.size());
    e[4] = name.empty() ? 0 : 0x01;  // CONTINUE
    std::memcpy(e.data() + 5, piece.data(), piece.size());
    out.push_back(std::move(e));
  } while (!name.empty());
}

void AppendSL(std::vector<Entry>& out, std::string_view target) {
  // Component records: [flags, length, content].
  struct Component {
    std::uint8_t flags;
    std::string_view text;
  };
  std::vector<Component> components;
  if (!target.empty() && target.front() == '/') components.push_back({0x08, {}});  // ROOT
  std::size_t pos = 0;
  while (pos <= target.size()) {
    std::size_t end = target.find('/', pos);
    if (end == std::string_view::npos) end = target.size();
    const std::string_view part = target.substr(pos, end - pos);
    if (part == ".")
      components.push_back({0x02, {}});  // CURRENT
    else if (part == "..")
      components.push_back({0x04, {}});  // PARENT
    else if (!part.empty())
      components.push_back({0, part});
    pos = end + 1;
  }
  constexpr std::size_t kRoom = kMaxEntry - 5;  // component bytes per SL entry
  std::string records;                          // of the SL entry being filled
  auto flush = [&](bool more) {
    Entry e = Head("SL", 5 + records.size());
    e[4] = more ? 0x01 : 0;  // CONTINUE: the link goes on in the next SL
    std::memcpy(e.data() + 5, records.data(), records.size());
    out.push_back(std::move(e));
    records.clear();
  };
  for (std::size_t i = 0; i < components.size(); ++i) {
    std::string_view text = components[i].text;
    do {
      if (records.size() + 2 >= kRoom) flush(true);
      const std::size_t n = std::min(text.size(), kRoom - records.size() - 2);
      const bool continues = n < text.size();  // the component goes on in the next record
      records += static_cast<char>(components[i].flags | (continues ? 0x01 : 0));
      records += static_cast<char>(n);
      records.append(text.substr(0, n));
      text.remove_prefix(n);
    } while (!text.empty());
  }
  flush(false);
}

bool ParseArea(std::span<const std::uint8_t> area, TAttributes& out, TContinuation& next) {
  std::size_t pos = 0;
  while (pos + 4 <= area.size()) {
    const std::uint8_t* e = area.data() + pos;
    const std::size_t len = e[2];
    if (len < 4 || pos + len > area.size()) return false;
    const std::string_view sig(reinterpret_cast<const char*>(e), 2);
    const std::uint8_t* d = e + 4;
    const std::size_t n = len - 4;
    if (sig == "SP" && n >= 3 && d[0] == 0xBE && d[1] == 0xEF) {
      out.susp = true;
      out.skip = d[2];
    } else if (sig == "ER" && n >= 4 && 4u + d[0] <= n) {
      const std::string_view id(reinterpret_cast<const char*>(d + 4), d[0]);
      if (id == "IEEE_P1282" || id == "RRIP_1991A" || id == "IEEE_1282") out.rripExtension = true;
    } else if (sig == "CE" && n >= 24) {
      next.block = le::load32(d);
      next.offset = le::load32(d + 8);
      next.length = le::load32(d + 16);
    } else if (sig == "ST") {
      out.stop = true;
      return true;
    } else if (sig == "PX" && n >= 32) {
      out.hasMode = true;
      out.mode = le::load32(d);
      out.links = le::load32(d + 8);
      out.uid = le::load32(d + 16);
      out.gid = le::load32(d + 24);
    } else if (sig == "TF" && n >= 1) {
      const std::uint8_t flags = d[0];
      const std::size_t width = (flags & 0x80) ? 17 : 7;
      std::size_t at = 1;
      for (int bit = 0; bit < 7; ++bit) {
        if (!(flags & (1u << bit))) continue;
        if (at + width > n) return false;
        std::time_t t = 0;
        const bool ok = width == 17 ? LongDateTime(d + at, t) : ShortDateTime(d + at, t);
        at += width;
        if (!ok) continue;
        if (bit == 1) out.modified = t;
        if (bit == 2) out.accessed = t;
        if (bit == 3) out.changed = t;
        out.hasTimes = true;
      }
    } else if (sig == "NM" && n >= 1) {
      // CURRENT and PARENT name "." and ".." (only on those records).
      if (!(d[0] & 0x06)) {
        if (!out.hasName) out.name.clear();
        out.hasName = true;
        out.name.append(reinterpret_cast<const char*>(d + 1), n - 1);
      }
    } else if (sig == "SL" && n >= 1) {
      // Components: a piece of a component continues in the next record
      // without a separator; whole components are joined by "/".
      out.isLink = true;
      std::size_t at = 1;
      while (at + 2 <= n) {
        const std::uint8_t flags = d[at];
        const std::size_t clen = d[at + 1];
        if (at + 2 + clen > n) return false;
        const bool pieceOfPrevious = out.linkComponentOpen;
        std::string part;
        if (flags & 0x02)
          part = ".";
        else if (flags & 0x04)
          part = "..";
        else if (!(flags & 0x08))
          part.assign(reinterpret_cast<const char*>(d + at + 2), clen);
        if (flags & 0x08) {
          out.linkTarget = "/";
        } else {
          if (!pieceOfPrevious && !out.linkTarget.empty() && out.linkTarget.back() != '/') out.linkTarget += '/';
          out.linkTarget += part;
        }
        out.linkComponentOpen = (flags & 0x01) != 0;  // the component goes on
        at += 2 + clen;
      }
    } else if (sig == "CL" && n >= 8) {
      out.childLink = le::load32(d);
    } else if (sig == "PL" && n >= 8) {
      out.parentLink = le::load32(d);
    } else if (sig == "RE") {
      out.relocated = true;
    }
    pos += len;
  }
  return true;
}

}  // namespace velloran::image::rr
