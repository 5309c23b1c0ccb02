#include "image/iso_names.h"

#include "platform/short_names.h"
#include "platform/ucs2.h"

#include <algorithm>
#include <span>
#include <unordered_map>
#include <unordered_set>

namespace velloran::image {

namespace {

constexpr std::size_t kJolietUnitsWithVersion = 108;  // 33 + 2 * (108 + 2) + 1 = 254 bytes

bool IsDotName(const std::string& name) {
  return !name.empty() && name.size() <= 2 && name[0] == '.' && (name.size() == 1 || name[1] == '.');
}

std::string DotIdentifier(const std::string& name) { return std::string(1, name == "." ? '\0' : '\1'); }

std::string IsoKey(std::string name) {
  while (name.size() > 1 && name.back() == '.') name.pop_back();
  return name;
}

// A Joliet name cut to fit limit units together with "~n" and its extension.
std::u16string JolietCandidate(const std::u16string& units, bool isDirectory, unsigned n, std::size_t limit) {
  std::u16string base = units, ext;
  if (!isDirectory) {
    const auto dot = units.rfind(u'.');
    if (dot != std::u16string::npos && dot > 0 && units.size() - dot <= 16) {
      base = units.substr(0, dot);
      ext = units.substr(dot);
    }
  }
  std::u16string tail = u"~";
  for (char c : std::to_string(n)) tail += static_cast<char16_t>(c);
  const std::size_t room = limit > tail.size() + ext.size() ? limit - tail.size() - ext.size() : 1;
  return platform::TruncateUtf16(base, room) + tail + ext;
}

// "~" is not a d-character, but the "~N" of 8.3 names is what users know
// from Windows and what every reader accepts.
bool IsDChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '~'; }

// ISO 9660 identifiers hold d-characters only (and "~"), and a file's one
// dot: every other character (blanks and punctuation a handler or CreateDir
// kept, bytes of UTF-8 characters) becomes "_".
std::string ValidIsoName(const std::string& name, bool isDirectory) {
  std::string out = Compilation::UpperAscii(name);
  const auto lastDot = isDirectory ? std::string::npos : out.rfind('.');
  for (std::size_t i = 0; i < out.size(); ++i)
    if (!IsDChar(out[i]) && i != lastDot) out[i] = '_';
  return out;
}

// Characters the Joliet definition excludes from names: they would be read
// as separators (";" before the version, "/" and "\" between folders) or
// are refused by Windows.
bool JolietForbidden(char16_t u) {
  return u < 0x20 || u == u'*' || u == u'/' || u == u':' || u == u';' || u == u'?' || u == u'\\';
}

std::string ToUtf8(const std::u16string& units) {
  return platform::Ucs2BeToUtf8(platform::Utf16ToBigEndian(units));
}

// A long name as Joliet can hold it, and which of the reasons for a change
// applied on the way.
std::u16string JolietUnits(const std::string& name, std::uint8_t& reasons) {
  std::u16string units = platform::Utf8ToUtf16(name);
  // Characters outside UCS-2 and bytes that are not UTF-8 do not come back
  // as they went in (ASCII always does).
  const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii && ToUtf8(units) != name) reasons |= kNameUnrepresentable;
  for (char16_t& u : units)
    if (JolietForbidden(u)) {
      u = u'_';
      reasons |= kNameCharacters;
    }
  return units;
}

// Readers show a name without its trailing dots ("README." as "README"),
// and Windows compares names without regard to case: names equal in that
// sense would show as one.
std::u16string WithoutTrailingDots(std::u16string units) {
  while (units.size() > 1 && units.back() == u'.') units.pop_back();
  return units;
}

std::u16string JolietKey(const std::u16string& units) { return platform::UpperUtf16(WithoutTrailingDots(units)); }

}  // namespace

std::string IsoRecordIdentifier(const TFEntry& child) {
  if (IsDotName(child.JolietName) || IsDotName(child.IsoName)) return DotIdentifier(child.IsoName);
  if (child.IsDirectory()) return child.IsoName;
  std::string id = child.IsoName;
  if (id.find('.') == std::string::npos) id += '.';
  return id + ";1";
}

std::string JolietRecordIdentifier(const TFEntry& child) {
  if (IsDotName(child.JolietName)) return DotIdentifier(child.JolietName);
  std::string id;
  const std::size_t units = platform::AppendUcs2Be(id, child.JolietName);
  if (!child.IsDirectory() && units <= kJolietUnitsWithVersion) id.append("\0;\0" "1", 4);
  return id;
}

std::string IsoDirIdentifier(const TDEntry& dir) { return dir.IsoName; }
std::string JolietDirIdentifier(const TDEntry& dir) { return platform::Utf8ToUcs2Be(dir.JolietName); }

namespace {

// The children in the order they claim their names: those of the earlier
// session first (an appended session keeps the paths the disc had), then
// the others in the order they were added.
std::vector<TFEntry*> ClaimOrder(const TDEntry* dir) {
  std::vector<TFEntry*> order;
  for (TFEntry* c = dir->FirstChild; c; c = c->Next)
    if (c->Imported || (c->Directory && c->Directory->Imported)) order.push_back(c);
  for (TFEntry* c = dir->FirstChild; c; c = c->Next)
    if (!(c->Imported || (c->Directory && c->Directory->Imported))) order.push_back(c);
  return order;
}

void ReportChange(Compilation& c, const TFEntry* entry, NameSpace space, const std::string& from,
                  std::uint8_t reasons, const DebugFn& debug) {
  c.RecordNameChange(entry, space, from, reasons);
  if (debug)
    if (const TNameChange* change = c.NameChangeOf(entry, space))
      debug(">>> Name changed for the disc: " + DescribeNameChange(c, *change), 1);
}

int ResolveIso(Compilation& compilation, TDEntry* dir, const DebugFn& debug) {
  int changes = 0;
  // Every key present, so a new name never takes a later sibling's.
  std::unordered_set<std::string> allIso, seenIso;
  const std::vector<TFEntry*> order = ClaimOrder(dir);
  for (TFEntry* c : order) allIso.insert(IsoKey(ValidIsoName(c->IsoName, c->IsDirectory())));
  for (TFEntry* c : order) {
    if (IsDotName(c->JolietName)) continue;
    const bool isDir = c->IsDirectory();
    const std::string before = c->IsoName;
    std::uint8_t reasons = 0;
    if (const std::string valid = ValidIsoName(c->IsoName, isDir); valid != c->IsoName) {
      c->IsoName = valid;
      reasons |= kNameCharacters;
    }
    std::string key = IsoKey(c->IsoName);
    const std::size_t limit = isDir ? kIsoMaxDirName : kIsoMaxFileName;
    if (c->IsoName.size() > limit) reasons |= kNameTooLong;
    if (key.empty() || seenIso.count(key)) reasons |= kNameTaken;
    if (reasons & (kNameTooLong | kNameTaken)) {
      const auto stem = platform::MakeShortNameStem(c->IsoName.empty() ? c->JolietName : c->IsoName, isDir);
      std::string candidate;
      for (unsigned n = 1;; ++n) {
        candidate = platform::ComposeShortName(stem, n);
        if (!allIso.count(IsoKey(candidate)) && !seenIso.count(IsoKey(candidate))) break;
      }
      c->IsoName = candidate;
      key = IsoKey(candidate);
    }
    if (reasons) {
      compilation.SetIsoName(c, std::string(c->IsoName));
      ReportChange(compilation, c, NameSpace::Iso, before, reasons, debug);
      ++changes;
    }
    seenIso.insert(key);
  }
  return changes;
}

int ResolveJoliet(Compilation& compilation, TDEntry* dir, const DebugFn& debug) {
  struct Item {
    TFEntry* entry;
    std::u16string units;  // the name as Joliet can hold it; at the end the name recorded
    std::u16string key;    // units in upper case
    std::uint8_t reasons;
  };
  std::vector<Item> items;
  std::unordered_set<std::u16string> all;   // every name of the folder as Joliet holds it
  std::unordered_set<std::u16string> kept;  // the names that need no change of characters
  bool anyChanged = false;
  for (TFEntry* c : ClaimOrder(dir)) {
    if (IsDotName(c->JolietName)) continue;
    Item item{c, {}, {}, 0};
    item.units = JolietUnits(c->JolietName, item.reasons);
    item.key = JolietKey(item.units);
    all.insert(item.key);
    anyChanged = anyChanged || item.reasons != 0;
    items.push_back(std::move(item));
  }
  if (anyChanged)
    for (const Item& item : items)
      if (item.reasons == 0) kept.insert(item.key);
  int changes = 0;
  std::unordered_map<std::u16string, const Item*> seen;
  for (Item& item : items) {
    std::uint8_t reasons = item.reasons;
    bool rename = false;
    if (item.units.empty() || item.units.size() > kJolietMaxUnits) {
      reasons |= kNameTooLong;
      rename = true;
    }
    if (auto holder = seen.find(item.key); holder != seen.end()) {
      reasons |= WithoutTrailingDots(holder->second->units) == WithoutTrailingDots(item.units) ? kNameTaken
                                                                                                : kNameCaseOnly;
      rename = true;
    } else if (item.reasons != 0 && kept.count(item.key)) {
      // A changed name that another entry was given as it is: that entry
      // keeps it.
      reasons |= kNameTaken;
      rename = true;
    }
    if (rename) {
      for (unsigned n = 1;; ++n) {
        std::u16string candidate = JolietCandidate(item.units.empty() ? u"_" : item.units, item.entry->IsDirectory(),
                                                   n, kJolietMaxUnits);
        std::u16string key = JolietKey(candidate);
        if (!all.count(key) && !seen.count(key)) {
          item.units = std::move(candidate);
          item.key = std::move(key);
          break;
        }
      }
    }
    seen.emplace(item.key, &item);
    if (reasons) {
      const std::string before = item.entry->JolietName;
      compilation.SetJolietName(item.entry, ToUtf8(item.units));
      ReportChange(compilation, item.entry, NameSpace::Joliet, before, reasons, debug);
      ++changes;
    }
  }
  return changes;
}

}  // namespace

int ResolveNames(Compilation& compilation, bool joliet, const DebugFn& debug) {
  int changes = 0;
  for (const auto& dirPtr : compilation.Dirs()) {
    TDEntry* dir = dirPtr.get();
    if (!dir->FirstChild) continue;
    changes += ResolveIso(compilation, dir, debug);
    if (joliet) changes += ResolveJoliet(compilation, dir, debug);
  }
  return changes;
}

std::string NameChangeReasons(std::uint8_t reasons, NameSpace space) {
  std::string out = space == NameSpace::Joliet ? "Joliet: " : "ISO 9660: ";
  std::string sep;
  auto add = [&](std::uint8_t flag, const char* text) {
    if (!(reasons & flag)) return;
    out += sep + text;
    sep = "; ";
  };
  if (space == NameSpace::Joliet) {
    add(kNameCharacters, "characters Joliet does not allow (* / : ; ? \\ or control characters)");
    add(kNameUnrepresentable, "characters Joliet cannot hold (beyond UCS-2, or not UTF-8)");
    add(kNameTooLong, "longer than 110 characters");
    add(kNameCaseOnly, "differs only in case from another name in the folder");
    add(kNameTaken, "another entry in the folder has this name");
  } else {
    add(kNameCharacters, "characters other than A-Z, 0-9 and _");
    add(kNameTooLong, "longer than ISO 9660 allows");
    add(kNameCaseOnly | kNameTaken, "another entry in the folder has this name");
  }
  return out;
}

std::string DescribeNameChange(const Compilation& compilation, const TNameChange& change) {
  const TFEntry& e = *change.Entry;
  std::string folder = compilation.DisplayPath(e.Parent);
  if (folder != "/") folder += "/";
  // Names as readers show them, without trailing dots.
  const auto shown = [](std::string name) {
    while (name.size() > 1 && name.back() == '.') name.pop_back();
    return name;
  };
  const std::string now = change.Space == NameSpace::Joliet ? e.JolietName : e.IsoName;
  std::string line = folder + shown(compilation.GivenName(&e)) + " -> " + shown(now);
  if (change.Space == NameSpace::Iso) line += " (was " + shown(change.From) + ")";
  return line + " (" + NameChangeReasons(change.Reasons, change.Space) + ")";
}

// --- Order of records ------------------------------------------------------------

namespace {

// The code units of an identifier: bytes, or big-endian 16-bit units.
struct Units {
  std::string_view bytes;
  bool wide;
  std::size_t size() const { return wide ? bytes.size() / 2 : bytes.size(); }
  unsigned operator[](std::size_t i) const {
    if (!wide) return static_cast<unsigned char>(bytes[i]);
    return (static_cast<unsigned>(static_cast<unsigned char>(bytes[2 * i])) << 8) |
           static_cast<unsigned char>(bytes[2 * i + 1]);
  }
};

struct Parts {
  std::size_t nameEnd, extBegin, extEnd, versionBegin;
};

Parts Split(const Units& u, bool isDir) {
  const std::size_t n = u.size();
  if (isDir) return {n, n, n, n};
  std::size_t semi = n;
  for (std::size_t i = 0; i < n; ++i)
    if (u[i] == ';') {
      semi = i;
      break;
    }
  std::size_t dot = semi;
  for (std::size_t i = 0; i < semi; ++i)
    if (u[i] == '.') {
      dot = i;
      break;
    }
  return {dot, dot < semi ? dot + 1 : semi, semi, semi < n ? semi + 1 : n};
}

}  // namespace

namespace {

// An identifier with the parts ECMA-119 9.3 orders by. Comparing as if
// padded with blanks is comparing without trailing blanks when no
// character lies below the blank (ISO 9660 names are d-characters, Joliet
// names have their controls replaced), and a shorter name then sorts first.
struct TRecordKey {
  std::string id;
  std::uint16_t nameBytes = 0, extBegin = 0, extBytes = 0;

  TRecordKey(std::string identifier, bool isDir, bool joliet) : id(std::move(identifier)) {
    const Units u{id, joliet && id.size() > 1};
    const Parts p = Split(u, isDir);
    const std::size_t width = u.wide ? 2 : 1;
    auto trimmedEnd = [&](std::size_t begin, std::size_t end) {
      while (end > begin && u[end - 1] == 0x20) --end;
      return end;
    };
    nameBytes = static_cast<std::uint16_t>(trimmedEnd(0, p.nameEnd) * width);
    extBegin = static_cast<std::uint16_t>(p.extBegin * width);
    extBytes = static_cast<std::uint16_t>((trimmedEnd(p.extBegin, p.extEnd) - p.extBegin) * width);
  }
  std::string_view Name() const { return std::string_view(id).substr(0, nameBytes); }
  std::string_view Ext() const { return std::string_view(id).substr(extBegin, extBytes); }
  // Name, then extension, then (for identifiers that tie so far: only
  // blanks or the version tell them apart) the shorter first, then bytes.
  bool operator<(const TRecordKey& o) const {
    if (int c = Name().compare(o.Name())) return c < 0;
    if (int c = Ext().compare(o.Ext())) return c < 0;
    if (id.size() != o.id.size()) return id.size() < o.id.size();
    return id < o.id;
  }
};

}  // namespace

bool RecordOrderLess(std::string_view a, bool aDir, std::string_view b, bool bDir, bool joliet) {
  return TRecordKey(std::string(a), aDir, joliet) < TRecordKey(std::string(b), bDir, joliet);
}

void SortRecordEntries(std::span<const TFEntry* const> entries, bool joliet, std::vector<const TFEntry*>& out,
                       std::vector<std::uint8_t>* recordLengths) {
  std::vector<std::pair<TRecordKey, const TFEntry*>> keyed;
  keyed.reserve(entries.size());
  for (const TFEntry* c : entries)
    keyed.emplace_back(TRecordKey(joliet ? JolietRecordIdentifier(*c) : IsoRecordIdentifier(*c), c->IsDirectory(), joliet),
                       c);
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  for (const auto& k : keyed) {
    out.push_back(k.second);
    if (recordLengths) recordLengths->push_back(static_cast<std::uint8_t>(RecordLength(k.first.id.size())));
  }
}

void SortedChildren(const TDEntry& dir, bool joliet, std::vector<const TFEntry*>& out,
                    std::vector<std::uint8_t>* recordLengths) {
  std::vector<const TFEntry*> children;
  for (const TFEntry* c = dir.FirstChild; c; c = c->Next) children.push_back(c);
  SortRecordEntries(children, joliet, out, recordLengths);
}

namespace {

template <typename KeyFn, typename NumberFn, typename ParentFn>
std::vector<TDEntry*> OrderPathTable(const std::vector<TDEntry*>& dirs, bool joliet, KeyFn key, NumberFn number,
                                     ParentFn parentOf) {
  std::unordered_map<const TDEntry*, std::vector<TDEntry*>> children;
  children.reserve(dirs.size());
  for (std::size_t i = 1; i < dirs.size(); ++i) children[parentOf(dirs[i])].push_back(dirs[i]);
  std::vector<TDEntry*> order;
  order.reserve(dirs.size());
  if (dirs.empty()) return order;
  order.push_back(dirs.front());
  std::vector<std::pair<TRecordKey, TDEntry*>> keyed;
  for (std::size_t i = 0; i < order.size(); ++i) {
    auto it = children.find(order[i]);
    if (it == children.end()) continue;
    keyed.clear();
    for (TDEntry* d : it->second) keyed.emplace_back(TRecordKey(key(*d), true, joliet), d);
    // The order of the directory records, so the path table and the
    // directories agree; equal keys keep creation order.
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [k, d] : keyed) order.push_back(d);
  }
  for (std::size_t i = 0; i < order.size(); ++i) number(*order[i]) = static_cast<std::int32_t>(i + 1);
  return order;
}

std::vector<TDEntry*> AllDirs(const Compilation& compilation) {
  std::vector<TDEntry*> dirs;
  dirs.reserve(compilation.Dirs().size());
  for (const auto& d : compilation.Dirs()) dirs.push_back(d.get());
  return dirs;
}

}  // namespace

std::vector<TDEntry*> OrderIsoPathTable(const Compilation& compilation) {
  return OrderIsoPathTable(AllDirs(compilation), [](const TDEntry* d) -> const TDEntry* { return d->Parent; });
}

std::vector<TDEntry*> OrderIsoPathTable(const std::vector<TDEntry*>& dirs,
                                        const std::function<const TDEntry*(const TDEntry*)>& parentOf) {
  return OrderPathTable(
      dirs, false, IsoDirIdentifier, [](TDEntry& d) -> std::int32_t& { return d.PathTableNumber; }, parentOf);
}

std::vector<TDEntry*> OrderJolietPathTable(const Compilation& compilation) {
  return OrderPathTable(
      AllDirs(compilation), true, JolietDirIdentifier, [](TDEntry& d) -> std::int32_t& { return d.JolietPathTableNumber; },
      [](const TDEntry* d) -> const TDEntry* { return d->Parent; });
}

}  // namespace velloran::image
