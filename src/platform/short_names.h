// 8.3 alternate names. Linux file systems keep none, so they are made here
// the way a Windows file system makes them for a name that does not fit 8.3:
// the first six valid characters, "~N", the first three characters of the
// extension, all in upper case. Only ISO 9660 d-characters (A-Z, 0-9, "_")
// are used, so the result is always a valid ISO 9660 identifier.
#pragma once

#include <string>
#include <string_view>

namespace velloran::platform {

// True when the name needs no alternate name: one to eight d-characters
// (either case), optionally a dot and up to three more (a trailing dot is
// allowed: "README."). Directory identifiers carry no dot, so a directory
// name with one never fits.
bool FitsShortName(std::string_view name, bool isDirectory);

// The stem of the alternate name: base (at most six upper-case
// d-characters, never empty) and extension (at most three, empty for
// directories). Blanks and dots are dropped from the base; any other
// character outside the d-characters becomes "_" (one per UTF-8 character).
struct ShortNameStem {
  std::string base;
  std::string extension;
};
ShortNameStem MakeShortNameStem(std::string_view longName, bool isDirectory);

// "BASE~N.EXT": the base is shortened so that the whole name part stays
// within eight characters as N grows (N >= 1).
std::string ComposeShortName(const ShortNameStem& stem, unsigned n);

}  // namespace velloran::platform
