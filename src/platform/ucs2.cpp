#include "platform/ucs2.h"

#include <clocale>
#include <cwctype>
#include <locale.h>

namespace velloran::platform {

namespace {

// Length of the UTF-8 sequence that starts at s[i] and its code point, or 0
// when the bytes there are not a well-formed, shortest-form sequence.
std::size_t DecodeOne(std::string_view s, std::size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t len;
  char32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t cp;
    std::size_t n = DecodeOne(utf8, i, cp);
    if (n == 0) {
      cp = static_cast<unsigned char>(utf8[i]);  // Latin-1 fallback
      n = 1;
    }
    out += cp >= 0x10000 ? u'_' : static_cast<char16_t>(cp);
    i += n;
  }
  return out;
}

std::string Utf16ToBigEndian(std::u16string_view units) {
  std::string out;
  out.reserve(units.size() * 2);
  for (char16_t u : units) {
    out += static_cast<char>(u >> 8);
    out += static_cast<char>(u & 0xFF);
  }
  return out;
}

std::size_t AppendUcs2Be(std::string& out, std::string_view utf8) {
  const std::size_t before = out.size();
  out.reserve(before + 2 * utf8.size() + 4);
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t cp;
    std::size_t n = DecodeOne(utf8, i, cp);
    if (n == 0) {
      cp = static_cast<unsigned char>(utf8[i]);  // Latin-1 fallback
      n = 1;
    }
    if (cp >= 0x10000) cp = u'_';
    out += static_cast<char>(cp >> 8);
    out += static_cast<char>(cp & 0xFF);
    i += n;
  }
  return (out.size() - before) / 2;
}

std::string Utf8ToUcs2Be(std::string_view utf8) {
  std::string out;
  AppendUcs2Be(out, utf8);
  return out;
}

std::string Ucs2BeToUtf8(std::string_view bytes) {
  std::string out;
  const std::size_t n = bytes.size() / 2;
  auto unit = [&](std::size_t k) {
    return static_cast<char16_t>((static_cast<unsigned char>(bytes[2 * k]) << 8) |
                                 static_cast<unsigned char>(bytes[2 * k + 1]));
  };
  for (std::size_t k = 0; k < n; ++k) {
    char32_t u = unit(k);
    if (u >= 0xD800 && u <= 0xDBFF && k + 1 < n && unit(k + 1) >= 0xDC00 && unit(k + 1) <= 0xDFFF) {
      u = 0x10000 + ((u - 0xD800) << 10) + (unit(k + 1) - 0xDC00);
      ++k;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      u = 0xFFFD;
    }
    AppendUtf8(out, u);
  }
  return out;
}

std::u16string UpperUtf16(std::u16string_view units) {
  // One locale object for the process; it is never freed (it may be in use
  // on any thread until exit).
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::u16string out(units);
  for (char16_t& u : out) {
    if (u >= u'a' && u <= u'z') {
      u = static_cast<char16_t>(u - u'a' + u'A');
    } else if (u >= 0x80 && utf8 && (u < 0xD800 || u > 0xDFFF)) {
      const wint_t up = towupper_l(static_cast<wint_t>(u), utf8);
      if (up < 0x10000) u = static_cast<char16_t>(up);
    }
  }
  return out;
}

std::u16string TruncateUtf16(std::u16string_view units, std::size_t maxUnits) {
  if (units.size() <= maxUnits) return std::u16string(units);
  std::size_t n = maxUnits;
  if (n > 0 && units[n - 1] >= 0xD800 && units[n - 1] <= 0xDBFF) --n;  // keep pairs whole
  return std::u16string(units.substr(0, n));
}

}  // namespace velloran::platform
