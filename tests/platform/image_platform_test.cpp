// Platform pieces the image builder relies on: 8.3 names, UCS-2, masks and
// attributes from stat, dates and the time-zone bias.
#include "platform/find_files.h"
#include "platform/short_names.h"
#include "platform/time_zone.h"
#include "platform/ucs2.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <map>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace velloran::platform;

namespace {

struct FitCase {
  const char* name;
  bool isDir;
  bool fits;
};

TEST(ShortNames, WhichNamesFitEightThree) {
  const FitCase cases[] = {
      {"README.", false, true},   {"readme.txt", false, true}, {"README", true, true},
      {"A-B.TXT", false, false},  {"LONGNAME9.TXT", false, false}, {"NAME.TEXT", false, false},
      {".bashrc", false, false},  {"DIR.V2", true, false},      {"DIR.V2", false, true},
      {"A.B.C", false, false},    {"my file.txt", false, false}, {"caf\xC3\xA9.txt", false, false},
      {"", false, false},
  };
  for (const auto& c : cases) EXPECT_EQ(FitsShortName(c.name, c.isDir), c.fits) << c.name;
}

struct AltCase {
  const char* name;
  bool isDir;
  unsigned n;
  const char* expected;
};

TEST(ShortNames, AlternateNamesAsWindowsMakesThem) {
  const AltCase cases[] = {
      {"My Long File.txt", false, 1, "MYLONG~1.TXT"},
      {"My Long File.txt", false, 10, "MYLON~10.TXT"},
      {"My Long File.txt", false, 123456, "M~123456.TXT"},
      {".bashrc", false, 1, "BASHRC~1"},
      {"caf\xC3\xA9 cr\xC3\xA8me.jpeg", false, 2, "CAF_CR~2.JPE"},
      {"archive.tar.gz", false, 1, "ARCHIV~1.GZ"},
      {"my.folder", true, 1, "MYFOLD~1"},
      {"...", false, 1, "_~1"},
      {"a\xF0\x9F\x98\x80" "b.txt", false, 1, "A_B~1.TXT"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ComposeShortName(MakeShortNameStem(c.name, c.isDir), c.n), c.expected) << c.name;
}

TEST(Ucs2, ConversionOfNames) {
  EXPECT_EQ(Utf8ToUcs2Be("Ab"), std::string("\0A\0b", 4));
  EXPECT_EQ(Utf8ToUcs2Be("\xC3\xA9"), std::string("\0\xE9", 2));
  EXPECT_EQ(Utf8ToUcs2Be("\xE2\x82\xAC"), std::string("\x20\xAC", 2));  // euro sign
  // Outside the BMP: one "_" (libcdio cannot read surrogate pairs).
  EXPECT_EQ(Utf8ToUcs2Be("a\xF0\x9F\x98\x80"), std::string("\0a\0_", 4));
  // A stray 8-bit byte is Latin-1, never dropped.
  EXPECT_EQ(Utf8ToUcs2Be("\xE9x"), std::string("\0\xE9\0x", 4));
  // Overlong and surrogate encodings are not accepted as UTF-8.
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF").size(), 2u);
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80").size(), 3u);
  EXPECT_EQ(Ucs2BeToUtf8(Utf8ToUcs2Be("caf\xC3\xA9 \xE2\x82\xAC")), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(TruncateUtf16(u"abc\xD83D\xDE00", 4), u"abc");
}

TEST(FindFiles, MasksAndAttributeFilter) {
  const struct {
    const char* name;
    const char* mask;
    bool match;
  } cases[] = {{"a.txt", "*.*", true},    {"README", "*.*", true},   {"a.TXT", "*.txt", true},
               {"a.txt.bak", "*.txt", false}, {"abc", "a?c", true},    {"ac", "a?c", false},
               {"x", "", true},             {"data.bin", "*a*.b*", true}};
  for (const auto& c : cases) EXPECT_EQ(MatchesMask(c.name, c.mask), c.match) << c.name << " " << c.mask;
  EXPECT_TRUE(PassesAttrMask(faArchive, 0));
  EXPECT_FALSE(PassesAttrMask(faArchive | faHidden, faArchive));
  EXPECT_TRUE(PassesAttrMask(faArchive | faHidden, faAnyFile));
  EXPECT_FALSE(PassesAttrMask(faDirectory, faArchive));
}

TEST(FindFiles, AttributesFromStatAndSpecialFilesPassedOver) {
  const fs::path dir = fs::temp_directory_path() / ("vl_find_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "sub");
  std::ofstream(dir / "plain.txt") << "12345";
  std::ofstream(dir / ".hidden") << "h";
  std::ofstream(dir / "ro.txt") << "r";
  fs::permissions(dir / "ro.txt", fs::perms::owner_write, fs::perm_options::remove);
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  fs::create_symlink(dir / "plain.txt", dir / "link.txt");
  fs::create_symlink(dir / "nowhere", dir / "dangling");

  std::vector<TSearchRec> found;
  std::vector<std::string> skipped;
  ASSERT_TRUE(FindFiles(dir.string(), "*.*", faAnyFile, found,
                        [&](const std::string& path, const char*) { skipped.push_back(path); }));
  std::map<std::string, TSearchRec> byName;
  for (auto& r : found) byName[r.Name] = r;
  ASSERT_EQ(byName.size(), 5u);  // plain, .hidden, ro, link, sub
  EXPECT_EQ(byName["plain.txt"].Attr, faArchive);
  EXPECT_EQ(byName["plain.txt"].Size, 5);
  EXPECT_EQ(byName[".hidden"].Attr, faArchive | faHidden);
  EXPECT_EQ(byName["ro.txt"].Attr, faArchive | faReadOnly);
  EXPECT_EQ(byName["link.txt"].Attr, faArchive);  // links are followed
  EXPECT_EQ(byName["sub"].Attr & faDirectory, faDirectory);
  EXPECT_EQ(skipped.size(), 2u);  // the FIFO and the dangling link
  EXPECT_EQ(found.front().Name, ".hidden");  // sorted by name

  found.clear();
  FindFiles(dir.string(), "*.*", faArchive, found);
  EXPECT_EQ(found.size(), 3u);  // hidden files and folders filtered out

  TFileSearch search;
  TSearchRec rec;
  EXPECT_EQ(search.FindFirst((dir / "*.txt").string(), faAnyFile, rec), 0);
  int count = 1;
  while (search.FindNext(rec) == 0) ++count;
  EXPECT_EQ(count, 3);
  EXPECT_NE(search.FindFirst((dir / "missing" / "*.*").string(), faAnyFile, rec), 0);
  fs::remove_all(dir);
}

TEST(TimeZone, BiasFollowsTheCLibrary) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  ::setenv("TZ", "XYZ-2", 1);  // two hours east of Greenwich
  ::tzset();
  EXPECT_EQ(LocalBiasMinutes(), -120);
  ::setenv("TZ", "XYZ+5:30", 1);
  ::tzset();
  EXPECT_EQ(LocalBiasMinutes(), 330);
  if (old)
    ::setenv("TZ", saved.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

TEST(TimeZone, LocalDatesAcrossADaylightSavingChange) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  ::tzset();
  // 2024-03-31 01:00 UTC: clocks go from 02:00 to 03:00.
  for (std::time_t t : {std::time_t{1711846799}, std::time_t{1711846800}, std::time_t{1711846801},
                        std::time_t{1711846800 + 900}, std::time_t{-86400 * 400 - 1}, std::time_t{0}}) {
    std::tm local{};
    ASSERT_TRUE(localtime_r(&t, &local));
    DateParts p{};
    ASSERT_TRUE(DecodeDateTime(UnixToDateTime(t), p)) << t;
    EXPECT_EQ((std::array{p.year, p.month, p.day, p.hour, p.minute, p.second}),
              (std::array{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                          local.tm_sec}))
        << t;
  }
  if (old)
    ::setenv("TZ", saved.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

TEST(TimeZone, DateTimeDecoding) {
  DateParts p{};
  ASSERT_TRUE(DecodeDateTime(0, p));
  EXPECT_EQ((std::array{p.year, p.month, p.day, p.hour}), (std::array{1899, 12, 30, 0}));
  // 2024-02-29 13:14:15.007 is day 45351.
  ASSERT_TRUE(DecodeDateTime(45351 + (13 * 3600 + 14 * 60 + 15.007) / 86400.0, p));
  EXPECT_EQ((std::array{p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond}),
            (std::array{2024, 2, 29, 13, 14, 15, 7}));
  EXPECT_FALSE(DecodeDateTime(1e9, p));
  EXPECT_FALSE(DecodeDateTime(std::nan(""), p));
}

}  // namespace
