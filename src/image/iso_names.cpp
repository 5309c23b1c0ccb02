#include "image/iso_names.h"

#include "platform/short_names.h"
#include "platform/ucs2.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace velloran::image {

namespace {

constexpr std::size_t kJolietUnitsWithVersion = 108;  // 33 + 2 * (108 + 2) + 1 = 254 bytes

bool IsDotName(const std::string& name) { return name == "." || name == ".."; }

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

std::string ToUtf8(const std::u16string& units) {
  return platform::Ucs2BeToUtf8(platform::Utf16ToBigEndian(units));
}

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
  std::u16string units = platform::Utf8ToUtf16(child.JolietName);
  if (!child.IsDirectory() && units.size() <= kJolietUnitsWithVersion) units += u";1";
  return platform::Utf16ToBigEndian(units);
}

std::string IsoDirIdentifier(const TDEntry& dir) { return dir.IsoName; }
std::string JolietDirIdentifier(const TDEntry& dir) { return platform::Utf8ToUcs2Be(dir.JolietName); }

int ResolveNames(Compilation& compilation, const std::function<void(const std::string&, std::uint8_t)>& debug) {
  int renamed = 0;
  for (const auto& dirPtr : compilation.Dirs()) {
    TDEntry* dir = dirPtr.get();
    if (!dir->FirstChild) continue;
    // ISO: every key present, so a new name never takes a later sibling's.
    std::unordered_set<std::string> allIso, seenIso;
    std::unordered_set<std::u16string> allJoliet, seenJoliet;
    for (TFEntry* c = dir->FirstChild; c; c = c->Next) {
      allIso.insert(IsoKey(ValidIsoName(c->IsoName, c->IsDirectory())));
      allJoliet.insert(platform::Utf8ToUtf16(c->JolietName));
    }
    for (TFEntry* c = dir->FirstChild; c; c = c->Next) {
      if (IsDotName(c->JolietName)) continue;
      const bool isDir = c->IsDirectory();
      // ISO name space.
      if (const std::string valid = ValidIsoName(c->IsoName, isDir); valid != c->IsoName) {
        dir->IsoNamesInUse.erase(IsoKey(c->IsoName));
        c->IsoName = valid;
        if (c->Directory) c->Directory->IsoName = valid;
        dir->IsoNamesInUse.insert(IsoKey(valid));
        ++renamed;
      }
      std::string key = IsoKey(c->IsoName);
      const std::size_t limit = isDir ? kIsoMaxDirName : kIsoMaxFileName;
      if (key.empty() || c->IsoName.size() > limit || seenIso.count(key)) {
        const auto stem = platform::MakeShortNameStem(c->IsoName.empty() ? c->JolietName : c->IsoName, isDir);
        std::string candidate;
        for (unsigned n = 1;; ++n) {
          candidate = platform::ComposeShortName(stem, n);
          if (!allIso.count(IsoKey(candidate)) && !seenIso.count(IsoKey(candidate))) break;
        }
        if (debug) debug(">>> ISO name " + c->IsoName + " in " + dir->Path + " recorded as " + candidate, 1);
        dir->IsoNamesInUse.erase(IsoKey(c->IsoName));
        dir->IsoNamesInUse.insert(IsoKey(candidate));
        c->IsoName = candidate;
        if (c->Directory) c->Directory->IsoName = candidate;
        key = IsoKey(candidate);
        ++renamed;
      }
      seenIso.insert(key);
      // Joliet name space.
      std::u16string units = platform::Utf8ToUtf16(c->JolietName);
      if (units.empty() || units.size() > kJolietMaxUnits || seenJoliet.count(units)) {
        std::u16string candidate;
        for (unsigned n = 1;; ++n) {
          candidate = JolietCandidate(units.empty() ? u"_" : units, isDir, n, kJolietMaxUnits);
          if (!allJoliet.count(candidate) && !seenJoliet.count(candidate)) break;
        }
        const std::string name = ToUtf8(candidate);
        if (debug) debug(">>> Joliet name " + c->JolietName + " in " + dir->Path + " recorded as " + name, 1);
        auto it = dir->ChildrenByName.find(Compilation::UpperAscii(c->JolietName));
        if (it != dir->ChildrenByName.end() && it->second == c) dir->ChildrenByName.erase(it);
        dir->ChildrenByName.emplace(Compilation::UpperAscii(name), c);
        c->JolietName = name;
        if (c->Directory) c->Directory->JolietName = name;
        units = candidate;
        ++renamed;
      }
      seenJoliet.insert(units);
    }
  }
  return renamed;
}

namespace {

template <typename KeyFn, typename NumberFn>
std::vector<TDEntry*> OrderPathTable(const Compilation& compilation, KeyFn key, NumberFn number) {
  const auto& dirs = compilation.Dirs();
  std::unordered_map<const TDEntry*, std::vector<TDEntry*>> children;
  children.reserve(dirs.size());
  for (std::size_t i = 1; i < dirs.size(); ++i) children[dirs[i]->Parent].push_back(dirs[i].get());
  std::vector<TDEntry*> order;
  order.reserve(dirs.size());
  if (dirs.empty()) return order;
  order.push_back(dirs.front().get());
  std::vector<std::pair<std::string, TDEntry*>> keyed;
  for (std::size_t i = 0; i < order.size(); ++i) {
    auto it = children.find(order[i]);
    if (it == children.end()) continue;
    keyed.clear();
    for (TDEntry* d : it->second) keyed.emplace_back(key(*d), d);
    // Identifiers compare byte by byte as unsigned values (char_traits<char>
    // does), a prefix before the longer name; equal keys keep creation order.
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [k, d] : keyed) order.push_back(d);
  }
  for (std::size_t i = 0; i < order.size(); ++i) number(*order[i]) = static_cast<std::int32_t>(i + 1);
  return order;
}

}  // namespace

std::vector<TDEntry*> OrderIsoPathTable(const Compilation& compilation) {
  return OrderPathTable(compilation, IsoDirIdentifier, [](TDEntry& d) -> std::int32_t& { return d.PathTableNumber; });
}

std::vector<TDEntry*> OrderJolietPathTable(const Compilation& compilation) {
  return OrderPathTable(compilation, JolietDirIdentifier,
                        [](TDEntry& d) -> std::int32_t& { return d.JolietPathTableNumber; });
}

}  // namespace velloran::image
