// The session importer on hand-made discs in memory: well-formed sessions,
// and the damaged and hostile directory structures a disc may hold.
#include "session/disc_builder.h"

#include "image/iso_names.h"
#include "image/session_import.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <stdlib.h>

namespace velloran::image::testing {
namespace {

// Source files for entries the compilation adds before an import.
class ScratchDirForImport {
 public:
  ScratchDirForImport() {
    char pattern[] = "/tmp/velloran-import-XXXXXX";
    if (::mkdtemp(pattern)) path_ = pattern;
  }
  ~ScratchDirForImport() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string Make(const std::string& name, const std::string& content) {
    const std::string p = path_ + "/" + name;
    std::ofstream(p) << content;
    return p;
  }

 private:
  std::string path_;
};

class ImportTest : public ::testing::Test {
 protected:
  bool ImportDir(std::uint32_t lba, std::uint32_t size, bool joliet, TImportLimits limits = {}) {
    TSessionImporter importer(tree_, disc_.Reader(), Collect(), limits);
    const bool ok = joliet ? importer.ImportJolietDir(lba, size, nullptr) : importer.ImportIsoDir(lba, size, nullptr);
    files_ = importer.FilesImported();
    return ok;
  }
  bool ImportFrom(std::uint32_t start) {
    TSessionImporter importer(tree_, disc_.Reader(), Collect());
    return importer.ImportFrom(start, 1, nullptr);
  }
  DebugFn Collect() {
    return [this](const std::string& text, std::uint8_t type) {
      EXPECT_EQ(type, 4) << text;
      errors_.push_back(text);
    };
  }
  bool Reported(const std::string& part) const {
    return std::any_of(errors_.begin(), errors_.end(),
                       [&](const std::string& e) { return e.find(part) != std::string::npos; });
  }
  const TFEntry* FileAt(const std::string& dir, const std::string& name) const {
    return tree_.FindFile(tree_.FindDir(dir), name);
  }

  Compilation tree_;
  Disc disc_;
  std::vector<std::string> errors_;
  int files_ = 0;
};

TEST_F(ImportTest, JolietSessionKeepsNamesExtentsAndAttributes) {
  disc_.Dir(30, {Dot(30), DotDot(30), JFile("Report 2024.pdf", 500, 9000), JDir("Photos", 31),
                 JFile("hidden.txt", 501, 10, 0x01)});
  disc_.Dir(31, {Dot(31), DotDot(30), JFile("Ünïcode name.jpg", 600, 123456)});
  disc_.Volume(0, 30, /*iso=*/0);
  ASSERT_TRUE(ImportFrom(0));
  EXPECT_TRUE(errors_.empty()) << errors_.front();
  const TFEntry* report = FileAt("\\", "Report 2024.pdf");
  ASSERT_NE(report, nullptr);
  EXPECT_TRUE(report->Imported);
  EXPECT_EQ(report->Extent, 500);
  EXPECT_EQ(report->Size, 9000);
  EXPECT_TRUE(report->SourcePath().empty());
  EXPECT_EQ(tree_.TotalRoundedSize(), 0) << "imported files add nothing to the new session's data";
  const TFEntry* photo = FileAt("\\PHOTOS", "Ünïcode name.jpg");
  ASSERT_NE(photo, nullptr);
  EXPECT_EQ(photo->Extent, 600);
  EXPECT_EQ(FileAt("\\", "hidden.txt")->Attributes & platform::faHidden, platform::faHidden);
  platform::DateParts d{};
  ASSERT_TRUE(platform::DecodeDateTime(report->Date, d));
  EXPECT_EQ(d.year, 2021);
  EXPECT_EQ(d.month, 3);
  EXPECT_EQ(d.day, 14);
}

TEST_F(ImportTest, PrimaryDescriptorAloneGivesIsoNames) {
  disc_.Dir(40, {Dot(40), DotDot(40), IFile("README.TXT;1", 700, 5), IDir("A", 41), IFile("NOEXT.;1", 701, 1)});
  disc_.Dir(41, {Dot(41), DotDot(40), IFile("X.BIN;1", 702, 2)});
  disc_.Volume(100, 0, 40);  // no Joliet descriptor
  ASSERT_TRUE(ImportFrom(100));
  EXPECT_NE(FileAt("\\", "README.TXT"), nullptr) << "the version is removed";
  EXPECT_NE(FileAt("\\", "NOEXT."), nullptr);
  EXPECT_NE(FileAt("\\A", "X.BIN"), nullptr) << "a one-letter directory other than 0 or 1 is imported";
}

TEST_F(ImportTest, SupplementaryDescriptorThatIsNotJolietIsPassedOver) {
  disc_.Dir(40, {Dot(40), DotDot(40), IFile("ISO.TXT;1", 700, 5)});
  disc_.Dir(30, {Dot(30), DotDot(30), JFile("joliet.txt", 701, 5)});
  disc_.Volume(0, 30, 40, /*jolietEscape=*/false);
  ASSERT_TRUE(ImportFrom(0));
  EXPECT_NE(FileAt("\\", "ISO.TXT"), nullptr);
  EXPECT_EQ(FileAt("\\", "joliet.txt"), nullptr);
}

TEST_F(ImportTest, NoVolumeIsReported) {
  EXPECT_FALSE(ImportFrom(0));
  EXPECT_TRUE(Reported("ERROR IMPORTING SESSION 1 (ISO IMAGE NOT FOUND)"));
  EXPECT_FALSE(ImportFrom(0xFFFFFFF0u)) << "a descriptor area past the block space";
}

// --- Hostile directory structures ---------------------------------------------

TEST_F(ImportTest, DirectoryPointingAtItselfOrAnAncestorEndsThere) {
  disc_.Dir(30, {Dot(30), DotDot(30), JDir("self", 31), JDir("up", 30), JFile("after.txt", 900, 1)});
  disc_.Dir(31, {Dot(31), DotDot(30), JDir("again", 31), JDir("root", 30), JFile("inner.txt", 901, 1)});
  ASSERT_TRUE(ImportDir(30, 2048, true));
  EXPECT_TRUE(Reported("DIRECTORY LOOP"));
  EXPECT_NE(FileAt("\\SELF", "inner.txt"), nullptr);
  EXPECT_NE(FileAt("\\", "after.txt"), nullptr) << "the records after a loop are still read";
  EXPECT_EQ(tree_.FindDir("\\UP"), nullptr);
  EXPECT_EQ(tree_.FindDir("\\SELF\\AGAIN"), nullptr);
  EXPECT_EQ(tree_.DirCount(), 1);
}

TEST_F(ImportTest, DiamondOfDirectoriesIsReadOnce) {
  // Twenty levels, each holding two names for the next extent: read
  // naively that is a million directories.
  for (std::uint32_t level = 0; level < 20; ++level)
    disc_.Dir(100 + level, {Dot(100 + level), DotDot(100), JDir("a", 101 + level), JDir("b", 101 + level)});
  disc_.Dir(120, {Dot(120), DotDot(100), JFile("leaf.txt", 5000, 1)});
  ImportDir(100, 2048, true);
  EXPECT_LE(tree_.DirCount(), 21);
  EXPECT_TRUE(Reported("DIRECTORY LOOP"));
}

struct BadSizeCase {
  const char* name;
  std::uint32_t size;
};

class BadDirectorySize : public ImportTest, public ::testing::WithParamInterface<BadSizeCase> {};

TEST_P(BadDirectorySize, IsReportedAndSkipped) {
  disc_.Dir(30, {Dot(30), DotDot(30), JDir("huge", 31, GetParam().size), JFile("ok.txt", 900, 1)});
  disc_.Dir(31, {Dot(31), DotDot(30), JFile("never.txt", 901, 1)});
  ImportDir(30, 2048, true);
  EXPECT_TRUE(Reported("OUT OF RANGE")) << GetParam().name;
  EXPECT_EQ(tree_.FindDir("\\HUGE"), nullptr);
  EXPECT_NE(FileAt("\\", "ok.txt"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BadDirectorySize,
                         ::testing::Values(BadSizeCase{"Zero", 0}, BadSizeCase{"FourGiB", 0xFFFFFFFFu},
                                           BadSizeCase{"AboveLimit", (32u << 20) + 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ImportTest, ExtentRunningPastTheBlockSpaceIsRefused) {
  disc_.Dir(30, {Dot(30), DotDot(30), JDir("end", 0xFFFFFFFFu, 4096), JFile("ok.txt", 900, 1)});
  ImportDir(30, 2048, true);
  EXPECT_TRUE(Reported("OUT OF RANGE"));
  EXPECT_NE(FileAt("\\", "ok.txt"), nullptr);
}

TEST_F(ImportTest, NestingBeyondTheLimitStops) {
  for (std::uint32_t level = 0; level < 30; ++level)
    disc_.Dir(100 + level, {Dot(100 + level), DotDot(100), JDir("d", 101 + level), JFile("f.txt", 900 + level, 1)});
  TImportLimits limits;
  limits.MaxDepth = 10;
  ImportDir(100, 2048, true, limits);
  EXPECT_TRUE(Reported("NESTED TOO DEEPLY"));
  EXPECT_EQ(tree_.DirCount(), 9);
}

TEST_F(ImportTest, TotalAmountReadIsBounded) {
  // Two directories claiming 16 MiB each of empty sectors.
  disc_.Dir(30, {Dot(30), DotDot(30), JDir("a", 100, 16u << 20), JDir("b", 20000, 16u << 20)});
  TImportLimits limits;
  limits.MaxTotalSectors = 5000;
  ImportDir(30, 2048, true, limits);
  EXPECT_TRUE(Reported("IMPORT STOPPED"));
  EXPECT_LE(disc_.reads, 5000u + 1);
}

TEST_F(ImportTest, RecordRunningPastTheSectorEndsTheSector) {
  std::vector<Bytes> records = {Dot(30), DotDot(30)};
  std::size_t pos = 68;
  for (int i = 0; pos < 1850; ++i) {
    records.push_back(JFile("f" + std::to_string(100 + i) + ".txt", 900, 1));
    pos += records.back().size();
  }
  // The last record claims 200 bytes where fewer than 200 are left.
  records.push_back(JFile("cut.txt", 901, 1));
  records.back()[0] = 200;
  disc_.Dir(30, records);
  ImportDir(30, 2048, true);
  EXPECT_TRUE(Reported("DAMAGED DIRECTORY RECORD"));
  EXPECT_EQ(tree_.FileCount(), static_cast<int>(records.size()) - 3);
  EXPECT_EQ(FileAt("\\", "cut.txt"), nullptr);
}

TEST_F(ImportTest, IdentifierLongerThanItsRecordEndsTheSector) {
  auto bad = JFile("bad.txt", 901, 1);
  bad[32] = 120;  // identifier length beyond the record's 47 bytes
  disc_.Dir(30, {Dot(30), DotDot(30), JFile("kept.txt", 900, 1), bad, JFile("lost.txt", 902, 1)});
  ImportDir(30, 2048, true);
  EXPECT_TRUE(Reported("DAMAGED DIRECTORY RECORD"));
  EXPECT_NE(FileAt("\\", "kept.txt"), nullptr);
  EXPECT_EQ(FileAt("\\", "lost.txt"), nullptr);
}

// A record padded (system use bytes) to the given length.
Bytes Sized(const std::string& id, std::size_t length) {
  Bytes r = Record(id, 900, 1, 0);
  r.resize(length, 0);
  r[0] = static_cast<std::uint8_t>(length);
  return r;
}

TEST_F(ImportTest, NoRecordIsReadFromPosition2015On) {
  for (const std::size_t last : {229u, 230u}) {
    std::vector<std::uint8_t> sector(2048, 0);
    std::size_t pos = 0;
    for (int i = 0; i < 7; ++i) pos = disc_.Put(sector, pos, Sized("F" + std::to_string(i) + ".;1", 255));
    pos = disc_.Put(sector, pos, Sized("G.;1", last));
    // 34 bytes: the shortest record there is.
    const Bytes z = Sized("Z", 34);
    std::copy(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(2048 - pos < 34 ? 2048 - pos : 34),
              sector.begin() + static_cast<std::ptrdiff_t>(pos));
    std::vector<TDirRecord> records;
    EXPECT_EQ(ParseDirectorySector(sector, records), SectorParse::Complete) << pos;
    EXPECT_EQ(records.size(), pos == 2014 ? 9u : 8u) << pos;
  }
}

struct NameCase {
  const char* name;
  std::u16string joliet;  // identifier as found
  std::string imported;   // name in the compilation, "" when left out
  const char* message;
};

class HostileName : public ImportTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(HostileName, NeverBreaksThePaths) {
  const NameCase& c = GetParam();
  disc_.Dir(30, {Dot(30), DotDot(30), JDirU(c.joliet, 31), JFile("next.txt", 900, 1)});
  disc_.Dir(31, {Dot(31), DotDot(30), JFile("inside.txt", 901, 1)});
  ImportDir(30, 2048, true);
  EXPECT_TRUE(Reported(c.message));
  EXPECT_NE(FileAt("\\", "next.txt"), nullptr);
  // Nothing else than the one directory (or none) was created.
  EXPECT_EQ(tree_.DirCount(), c.imported.empty() ? 0 : 1);
  for (const auto& d : tree_.Dirs()) {
    if (d.get() == tree_.Root()) continue;
    EXPECT_EQ(d->JolietName, c.imported);
    EXPECT_EQ(d->Path, "\\" + c.imported);
    EXPECT_EQ(d->Parent, tree_.Root());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, HostileName,
    ::testing::Values(NameCase{"Slash", u"a/b", "a_b", "INVALID FILE NAME"},
                      NameCase{"Backslash", u"..\\..\\etc", ".._.._etc", "INVALID FILE NAME"},
                      NameCase{"Control", std::u16string(u"bell\u0007\u0000x", 7), "bell__x", "INVALID FILE NAME"},
                      NameCase{"DotDot", u"..", "", "INVALID FILE NAME"},
                      NameCase{"Dot", u".", "", "INVALID FILE NAME"},
                      NameCase{"OnlyVersion", u";1", "", "INVALID FILE NAME"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ImportTest, JolietNamesAsLongAsARecordHoldsAreImported) {
  // 108 characters and ";1" (220 bytes), and 110 without a version: the
  // longest names a disc of this program holds.
  const std::u16string n108(108, u'n'), n110(110, u'm');
  disc_.Dir(30, {Dot(30), DotDot(30), JFileU(n108, 900, 1), Record(Ucs2(n110), 901, 1, 0), JFile("short.txt", 902, 1)});
  ImportDir(30, 2048, true);
  EXPECT_TRUE(errors_.empty()) << errors_.front();
  EXPECT_EQ(tree_.FileCount(), 3);
  EXPECT_NE(FileAt("\\", std::string(108, 'n') + "."), nullptr);
  EXPECT_NE(FileAt("\\", std::string(110, 'm') + "."), nullptr);
}

struct DateCase {
  const char* name;
  std::array<std::uint8_t, 7> date;
  bool valid;
};

class RecordDate : public ImportTest, public ::testing::WithParamInterface<DateCase> {};

TEST_P(RecordDate, IsoLeavesTheRecordOutJolietTakesNoDate) {
  const DateCase& c = GetParam();
  auto iso = IFile("DATED.TXT;1", 900, 1);
  auto joliet = JFile("dated.txt", 900, 1);
  std::copy(c.date.begin(), c.date.end(), iso.begin() + 18);
  std::copy(c.date.begin(), c.date.end(), joliet.begin() + 18);
  disc_.Dir(40, {Dot(40), DotDot(40), iso, IFile("NEXT.TXT;1", 901, 1)});
  disc_.Dir(30, {Dot(30), DotDot(30), joliet});
  ImportDir(40, 2048, false);
  EXPECT_NE(FileAt("\\", "NEXT.TXT"), nullptr) << "the import goes on";
  EXPECT_EQ(FileAt("\\", "DATED.TXT") != nullptr, c.valid);
  EXPECT_EQ(Reported("INVALID DATE"), !c.valid);
  ImportDir(30, 2048, true);
  EXPECT_NE(FileAt("\\", "dated.txt"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, RecordDate,
    ::testing::Values(DateCase{"Ordinary", {121, 3, 14, 15, 9, 26, 4}, true},
                      DateCase{"NotRecorded", {0, 0, 0, 0, 0, 0, 0}, true},
                      DateCase{"LeapDay", {124, 2, 29, 0, 0, 0, 0}, true},
                      DateCase{"Month13", {121, 13, 1, 0, 0, 0, 0}, false},
                      DateCase{"Day0", {121, 5, 0, 0, 0, 0, 0}, false},
                      DateCase{"February30", {123, 2, 29, 0, 0, 0, 0}, false},
                      DateCase{"Hour24", {121, 5, 1, 24, 0, 0, 0}, false},
                      DateCase{"AllOnes", {255, 255, 255, 255, 255, 255, 255}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ImportTest, UnreadableSectorKeepsWhatWasRead) {
  disc_.Dir(30, {Dot(30), DotDot(30), JFile("first.txt", 900, 1)});
  disc_.Dir(31, {JFile("second.txt", 901, 1)});
  disc_.Unreadable(32);
  ImportDir(30, 3 * 2048, true);
  EXPECT_TRUE(Reported("CANNOT READ SECTOR 32"));
  EXPECT_NE(FileAt("\\", "first.txt"), nullptr);
  EXPECT_NE(FileAt("\\", "second.txt"), nullptr);
}

TEST_F(ImportTest, ManyUnreadableSectorsEndTheImport) {
  std::vector<Bytes> records = {Dot(30), DotDot(30)};
  for (std::uint32_t i = 0; i < 40; ++i) {
    records.push_back(JDir("d" + std::to_string(i), 1000 + i));
    disc_.Unreadable(1000 + i);
  }
  disc_.Dir(30, records);
  ImportDir(30, 2048, true);
  EXPECT_TRUE(Reported("IMPORT STOPPED"));
  EXPECT_LE(disc_.reads, 1u + 16u) << "the import gives up instead of trying every extent";
}

TEST_F(ImportTest, FileOfSeveralExtentsBecomesOneEntry) {
  const std::uint32_t part = 0xFFFFF800u;
  disc_.Dir(30, {Dot(30), DotDot(30), JFile("huge.img", 1000, part, 0x80),
                 JFile("huge.img", 1000 + part / 2048, 1000), JFile("after.txt", 900, 1)});
  ImportDir(30, 2048, true);
  EXPECT_TRUE(errors_.empty()) << errors_.front();
  const TFEntry* f = FileAt("\\", "huge.img");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->Size, std::int64_t{part} + 1000);
  EXPECT_EQ(f->Extent, 1000);
  EXPECT_EQ(tree_.FileCount(), 2);
}

TEST_F(ImportTest, ExtentsThatDoNotFollowEachOtherAreReported) {
  disc_.Dir(30, {Dot(30), DotDot(30), JFile("huge.img", 1000, 0xFFFFF800u, 0x80), JFile("huge.img", 5, 1000),
                 JFile("dangling.bin", 2000, 4096, 0x80)});
  ImportDir(30, 2048, true);
  EXPECT_TRUE(Reported("FILE EXTENTS NOT CONTIGUOUS"));
  const TFEntry* f = FileAt("\\", "huge.img");
  ASSERT_NE(f, nullptr) << "the second record stands for itself";
  EXPECT_EQ(f->Size, 1000);
  EXPECT_EQ(FileAt("\\", "dangling.bin"), nullptr);
}

TEST_F(ImportTest, EntriesOfTheCompilationWinOverImportedOnes) {
  tree_.ForceDirs("\\docs");
  platform::TSearchRec mine;
  mine.Name = "report.txt";
  mine.Size = 42;
  ASSERT_NE(tree_.AddFileEntry(tree_.FindDir("\\DOCS"), "/home/me/report.txt", mine, 0), nullptr);
  disc_.Dir(30, {Dot(30), DotDot(30), JDir("docs", 31)});
  disc_.Dir(31, {Dot(31), DotDot(30), JFile("report.txt", 900, 7), JFile("old.txt", 901, 7)});
  tree_.ReplaceFile = true;
  ImportDir(30, 2048, true);
  const TFEntry* f = FileAt("\\DOCS", "report.txt");
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(f->Imported);
  EXPECT_EQ(f->SourcePath(), "/home/me/report.txt");
  EXPECT_NE(FileAt("\\DOCS", "old.txt"), nullptr);
  // Importing again changes nothing.
  const int files = tree_.FileCount();
  ImportDir(30, 2048, true);
  EXPECT_EQ(tree_.FileCount(), files);
}

TEST_F(ImportTest, ImportedFolderStaysBesideANewFileOfItsName) {
  // New entries first, as a burn with import adds them.
  ScratchDirForImport files;
  ASSERT_EQ(tree_.AddFileAs(tree_.Root(), files.Make("photos", "a new file"), "Photos"), 1);
  ASSERT_NE(tree_.CreateDir(nullptr, "notes.txt", 16), nullptr);
  disc_.Dir(30, {Dot(30), DotDot(30), JDir("Photos", 31), JFile("notes.txt", 902, 5)});
  disc_.Dir(31, {Dot(31), DotDot(30), JFile("beach.jpg", 900, 7), JDir("2019", 32)});
  disc_.Dir(32, {Dot(32), DotDot(31), JFile("old.jpg", 901, 7)});
  ImportDir(30, 2048, true);
  EXPECT_TRUE(errors_.empty());
  const TFEntry* folder = tree_.FindChild(tree_.Root(), "Photos", true);
  ASSERT_NE(folder, nullptr) << "the earlier session's folder is kept";
  EXPECT_NE(tree_.FindFile(folder->Directory, "beach.jpg"), nullptr);
  EXPECT_NE(FileAt("\\Photos\\2019", "old.jpg"), nullptr);
  EXPECT_NE(tree_.FindChild(tree_.Root(), "Photos.", false), nullptr) << "and so is the new file";
  EXPECT_NE(tree_.FindChild(tree_.Root(), "notes.txt", false), nullptr) << "an imported file beside a new folder";
  EXPECT_NE(tree_.FindChild(tree_.Root(), "notes.txt", true), nullptr);
  // The layout tells them apart and says so; the earlier session's names
  // stay as the disc has them.
  ResolveNames(tree_);
  std::vector<std::string> renamed;
  for (const TNameChange& c : tree_.NameChanges())
    if (c.Space == NameSpace::Joliet) renamed.push_back(c.From + " -> " + c.Entry->JolietName);
  EXPECT_EQ(renamed, (std::vector<std::string>{"Photos. -> Photos~1.", "notes.txt -> notes.txt~1"}));
}

TEST_F(ImportTest, AddFileEventFiresWithAnEmptyPath) {
  std::vector<std::string> seen;
  tree_.Events.addFile = [&](const std::string& path, std::string& name, std::string&, TDateTime&, int, std::int64_t,
                             bool& skip) {
    EXPECT_TRUE(path.empty());
    seen.push_back(name);
    skip = name == "skip.me";
  };
  disc_.Dir(30, {Dot(30), DotDot(30), JFile("keep.txt", 900, 1), JFile("skip.me", 901, 1)});
  ImportDir(30, 2048, true);
  EXPECT_EQ(seen, (std::vector<std::string>{"keep.txt", "skip.me"}));
  EXPECT_EQ(FileAt("\\", "skip.me"), nullptr);
  EXPECT_EQ(files_, 1);
}

TEST(RecordNameTest, CutsAtTheVersionAndReportsReplacements) {
  bool changed = false;
  const std::uint8_t iso[] = {'A', '.', 'T', 'X', 'T', ';', '1'};
  EXPECT_EQ(RecordName(iso, false, changed), "A.TXT");
  EXPECT_FALSE(changed);
  const std::uint8_t joliet[] = {0, 'a', 0x00, 0xE9, 0, ';', 0, '1'};
  EXPECT_EQ(RecordName(joliet, true, changed), "a\xC3\xA9");
  EXPECT_FALSE(changed);
  const std::uint8_t odd[] = {0, 'a', 0, '/', 0x00};
  EXPECT_EQ(RecordName(odd, true, changed), "a_");
  EXPECT_TRUE(changed);
}

}  // namespace
}  // namespace velloran::image::testing
