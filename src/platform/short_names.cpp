#include "platform/short_names.h"

namespace velloran::platform {

namespace {

bool IsDChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Appends the d-character form of text to out, stopping at limit characters.
void AppendValid(std::string& out, std::string_view text, std::size_t limit) {
  for (std::size_t i = 0; i < text.size() && out.size() < limit; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == ' ' || c == '.') continue;
    if (c >= 0x80) {
      if ((c & 0xC0) == 0x80) continue;  // continuation byte of a character already replaced
      out += '_';
    } else {
      out += IsDChar(static_cast<char>(c)) ? Upper(static_cast<char>(c)) : '_';
    }
  }
}

}  // namespace

bool FitsShortName(std::string_view name, bool isDirectory) {
  const auto dot = name.find('.');
  const std::string_view base = name.substr(0, dot);
  if (base.empty() || base.size() > 8) return false;
  for (char c : base)
    if (!IsDChar(c)) return false;
  if (dot == std::string_view::npos) return true;
  if (isDirectory) return false;
  const std::string_view ext = name.substr(dot + 1);
  if (ext.size() > 3) return false;
  for (char c : ext)
    if (!IsDChar(c)) return false;
  return true;
}

ShortNameStem MakeShortNameStem(std::string_view longName, bool isDirectory) {
  ShortNameStem stem;
  std::string_view base = longName;
  std::string_view ext;
  const auto dot = longName.rfind('.');
  // A leading dot (a hidden file such as ".profile") starts no extension.
  if (!isDirectory && dot != std::string_view::npos && dot > 0) {
    base = longName.substr(0, dot);
    ext = longName.substr(dot + 1);
  }
  AppendValid(stem.base, base, 6);
  if (stem.base.empty()) AppendValid(stem.base, ext, 6);
  if (stem.base.empty()) stem.base = "_";
  AppendValid(stem.extension, ext, 3);
  return stem;
}

std::string ComposeShortName(const ShortNameStem& stem, unsigned n) {
  const std::string tail = "~" + std::to_string(n);
  const std::size_t room = tail.size() >= 8 ? 1 : 8 - tail.size();
  std::string out = stem.base.substr(0, room) + tail;
  if (!stem.extension.empty()) out += "." + stem.extension;
  return out;
}

}  // namespace velloran::platform
