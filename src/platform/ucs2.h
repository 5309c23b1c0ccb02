// UTF-8 names to the UCS-2 big-endian bytes that Joliet identifiers and
// descriptor fields hold.
#pragma once

#include <string>
#include <string_view>

namespace velloran::platform {

// Decodes UTF-8 into UCS-2 code units. A character outside the Basic
// Multilingual Plane (an emoji) becomes "_": Joliet is UCS-2, and while
// Windows, the Linux kernel, libisofs and pycdlib would decode a surrogate
// pair, libcdio's reader (iconv from UCS-2BE) rejects it and loses the whole
// directory holding the name. Names that become equal this way are told
// apart by the layout (iso_names.h). Bytes that are not valid UTF-8 (an
// 8-bit name from an old file system) are taken as Latin-1, so no input is
// ever refused.
std::u16string Utf8ToUtf16(std::string_view utf8);

// The code units as big-endian bytes (two per unit).
std::string Utf16ToBigEndian(std::u16string_view units);

// Shorthand for Utf16ToBigEndian(Utf8ToUtf16(utf8)).
std::string Utf8ToUcs2Be(std::string_view utf8);
// The same appended to out in one pass; returns the number of units added.
std::size_t AppendUcs2Be(std::string& out, std::string_view utf8);

// Big-endian UTF-16 bytes back to UTF-8 (unpaired surrogates become U+FFFD).
std::string Ucs2BeToUtf8(std::string_view bytes);

// The units in upper case, as a reader that ignores case compares names
// (Windows does for Joliet): Unicode's simple upper-case mapping of the C
// library's UTF-8 locale, ASCII only where that locale is missing.
std::u16string UpperUtf16(std::u16string_view units);

// Cuts units to at most maxUnits without splitting a surrogate pair (pairs
// only arise from Ucs2BeToUtf8's counterpart input, never from Utf8ToUtf16).
std::u16string TruncateUtf16(std::u16string_view units, std::size_t maxUnits);

}  // namespace velloran::platform
