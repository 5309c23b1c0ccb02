// The importer reading Rock Ridge: a session laid out by the burner with
// Rock Ridge comes back with the names as given, modes, owners, times,
// links and folders moved below eight levels in place; hand-made sessions
// with extensions that are not Rock Ridge, or with entries that point
// where they should not, import without harm.
#include "session/disc_builder.h"

#include "image/rock_ridge.h"
#include "image/session_import.h"
#include "image/zbCDBC.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace velloran::image::testing {
namespace {

namespace fs = std::filesystem;

class RockRidgeImport : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velloran-rrimport-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void Put(const std::string& rel, mode_t mode, std::time_t mtime, std::time_t atime) {
    const fs::path p = dir_ / "src" / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << rel;
    ::chmod(p.c_str(), mode);
    const struct timespec times[2] = {{atime, 0}, {mtime, 0}};
    ::utimensat(AT_FDCWD, p.c_str(), times, 0);
  }
  // Lays out dir_/src as a session of its own and keeps its metadata as
  // the disc the importer reads (file data reads as zeros).
  void Burn(bool rockRidge) {
    TZCDBurner b;
    b.RockRidge = rockRidge;
    b.RockRidgeKeepOwners = true;
    b.SetRockRidgeLinks(true);
    b.AddFolder(b.RootDir(), (dir_ / "src").string(), false, false, true, 63, "*.*");
    ASSERT_TRUE(b.BuildLayout(true, nullptr));
    ASSERT_TRUE(b.BuildMetadata(true, nullptr));
    start_ = b.Layout().StartAddress;
    meta_ = b.Metadata();
  }
  bool Import(bool rockRidge) {
    TSessionImporter importer(
        tree_,
        [this](std::uint32_t lba, std::uint8_t* out) {
          const std::size_t at = static_cast<std::size_t>(lba - start_) * kSectorSize;
          if (lba < start_ || at + kSectorSize > meta_.size())
            std::memset(out, 0, kSectorSize);
          else
            std::memcpy(out, meta_.data() + at, kSectorSize);
          return true;
        },
        [this](const std::string& text, std::uint8_t) { errors_.push_back(text); });
    importer.RockRidge = rockRidge;
    const bool ok = importer.ImportFrom(start_, 1, nullptr);
    readRockRidge_ = importer.ReadRockRidge();
    return ok;
  }

  fs::path dir_;
  std::uint32_t start_ = 0;
  std::vector<std::uint8_t> meta_;
  Compilation tree_;
  std::vector<std::string> errors_;
  bool readRockRidge_ = false;
};

TEST_F(RockRidgeImport, NamesModesOwnersTimesLinksAndDeepFoldersComeBack) {
  const std::time_t t0 = 1600000000;
  Put("Mixed Case.TXT", 0640, t0, t0 + 100);
  Put("colon:and\\back", 0600, t0 + 1, t0 + 1);
  const std::string longName = std::string(196, 'n') + ".txt";
  Put(longName, 0755, t0 + 2, t0 + 2);
  Put("odd\\folder/inside.txt", 0644, t0 + 3, t0 + 3);
  std::string deep;
  for (int i = 1; i <= 9; ++i) deep += "l" + std::to_string(i) + "/";
  Put(deep + "deep.txt", 0604, t0 + 4, t0 + 4);
  fs::create_symlink("Mixed Case.TXT", dir_ / "src" / "link");
  ::chmod((dir_ / "src" / "l1").c_str(), 0750);
  Burn(true);

  ASSERT_TRUE(Import(true));
  EXPECT_TRUE(readRockRidge_);
  EXPECT_TRUE(errors_.empty()) << errors_.front();
  const TDEntry* root = tree_.Root();
  const TFEntry* mixed = tree_.FindChild(root, "Mixed Case.TXT", false);
  ASSERT_NE(mixed, nullptr);
  EXPECT_TRUE(mixed->Imported);
  EXPECT_EQ(mixed->Mode, 0100640);
  EXPECT_EQ(mixed->Uid, ::getuid());
  EXPECT_EQ(mixed->Gid, ::getgid());
  EXPECT_EQ(EntryTime(*mixed), t0);
  EXPECT_EQ(mixed->AtimeDelta, 100);
  EXPECT_NE(tree_.FindChild(root, "colon:and\\back.", false), nullptr) << "names without a dot end in one there";
  ASSERT_NE(tree_.FindChild(root, longName, false), nullptr);
  EXPECT_EQ(tree_.FindChild(root, longName, false)->Mode, 0100755);

  const TFEntry* odd = tree_.FindChild(root, "odd\\folder", true);
  ASSERT_NE(odd, nullptr) << "a folder keeps the \\ of its name";
  EXPECT_NE(tree_.FindChild(odd->Directory, "inside.txt", false), nullptr);

  const TFEntry* link = tree_.FindChild(root, "link.", false);
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(link->IsLink());
  ASSERT_NE(tree_.LinkTarget(link), nullptr);
  EXPECT_EQ(*tree_.LinkTarget(link), "Mixed Case.TXT");
  EXPECT_EQ(link->Size, 0);

  // Nine levels, where they were given; the relocation folder is not shown.
  const TDEntry* d = root;
  for (int i = 1; i <= 9; ++i) {
    const TFEntry* sub = tree_.FindChild(d, "l" + std::to_string(i), true);
    ASSERT_NE(sub, nullptr) << "level " << i;
    d = sub->Directory;
  }
  EXPECT_EQ(tree_.FindChild(root, "l1", true)->Mode, 040750);
  ASSERT_NE(tree_.FindChild(d, "deep.txt", false), nullptr);
  EXPECT_EQ(tree_.FindChild(d, "deep.txt", false)->Mode, 0100604);
  int topLevel = 0;
  for (const TFEntry* c = root->FirstChild; c; c = c->Next) topLevel += c->IsDirectory();
  EXPECT_EQ(topLevel, 2) << "l1 and odd\\folder only";
}

TEST_F(RockRidgeImport, WithoutRockRidgeTheJolietNamesAreRead) {
  Put("Mixed Case.TXT", 0640, 1600000000, 1600000000);
  for (const bool written : {true, false}) {
    SCOPED_TRACE(written ? "session with Rock Ridge, not asked for" : "session without Rock Ridge");
    Burn(written);
    tree_.ResetCompilation(100, 100);
    ASSERT_TRUE(Import(!written));
    EXPECT_FALSE(readRockRidge_);
    const TFEntry* f = tree_.FindChild(tree_.Root(), "Mixed Case.TXT", false);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->Mode, 0) << "nothing known beyond what Joliet holds";
  }
}

// A record with System Use entries after its identifier.
Bytes WithSystemUse(Bytes record, const std::vector<rr::Entry>& entries) {
  for (const auto& e : entries) record.insert(record.end(), e.begin(), e.end());
  if (record.size() % 2) record.push_back(0);
  record[0] = static_cast<std::uint8_t>(record.size());
  return record;
}

Bytes RrDot(std::uint32_t extent, bool rrip) {
  std::vector<rr::Entry> e = {rr::SP()};
  if (rrip) e.push_back(rr::PX(040555, 2, 0, 0, extent));
  return WithSystemUse(Dot(extent), e);
}

Bytes Named(Bytes record, const std::string& name) {
  std::vector<rr::Entry> e;
  rr::AppendNM(e, name);
  return WithSystemUse(std::move(record), e);
}

class HandMadeRockRidge : public ::testing::Test {
 protected:
  // The ISO 9660 root at 30 holds records, the Joliet root at 40 one file.
  void Session(const std::vector<Bytes>& records, bool rrip = true) {
    std::vector<Bytes> all = {RrDot(30, rrip), DotDot(30)};
    all.insert(all.end(), records.begin(), records.end());
    disc_.Dir(30, all);
    disc_.Dir(40, {Dot(40), DotDot(40), JFile("Joliet Name.txt", 500, 10)});
    disc_.Volume(0, 40, 30);
  }
  bool Import() {
    TSessionImporter importer(tree_, disc_.Reader(),
                              [this](const std::string& text, std::uint8_t) { errors_.push_back(text); });
    importer.RockRidge = true;
    const bool ok = importer.ImportFrom(0, 1, nullptr);
    readRockRidge_ = importer.ReadRockRidge();
    return ok;
  }
  bool Reported(const std::string& part) const {
    return std::any_of(errors_.begin(), errors_.end(),
                       [&](const std::string& e) { return e.find(part) != std::string::npos; });
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const TFEntry* c = tree_.Root()->FirstChild; c; c = c->Next) out.push_back(c->JolietName);
    return out;
  }

  // A record whose entries go on in a continuation area at lba.
  Bytes Continued(Bytes record, std::vector<rr::Entry> here, const std::vector<rr::Entry>& there, std::uint32_t lba) {
    std::vector<std::uint8_t> area(2048, 0);
    std::size_t at = 0;
    for (const auto& e : there) {
      std::copy(e.begin(), e.end(), area.begin() + static_cast<std::ptrdiff_t>(at));
      at += e.size();
    }
    disc_.Raw(lba, area);
    here.push_back(rr::CE(lba, 0, static_cast<std::uint32_t>(at)));
    return WithSystemUse(std::move(record), here);
  }

  Disc disc_;
  Compilation tree_;
  std::vector<std::string> errors_;
  bool readRockRidge_ = false;
};

TEST_F(HandMadeRockRidge, OtherSystemUseExtensionsLeaveTheJolietNames) {
  Session({Named(IFile("MIXEDCAS.TXT;1", 500, 10), "Mixed Case.txt")}, /*rrip=*/false);
  ASSERT_TRUE(Import());
  EXPECT_FALSE(readRockRidge_);
  EXPECT_EQ(Names(), std::vector<std::string>{"Joliet Name.txt"});
}

TEST_F(HandMadeRockRidge, NamesNoSystemTakesFallBackToTheIsoName) {
  std::vector<rr::Entry> tooLong;
  rr::AppendNM(tooLong, std::string(300, 'x'));
  Session({Continued(IFile("LONG.TXT;1", 500, 10), {}, tooLong, 62),
           Named(IFile("SLASH.TXT;1", 501, 10), "a/b.txt"), Named(IFile("EMPTY.TXT;1", 502, 10), "")});
  ASSERT_TRUE(Import());
  EXPECT_TRUE(readRockRidge_);
  auto names = Names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"EMPTY.TXT", "LONG.TXT", "a_b.txt"})) << ::testing::PrintToString(errors_);
}

TEST_F(HandMadeRockRidge, MovedFolderPointingBackOrNowhereIsReportedAndLeftOut) {
  std::vector<rr::Entry> back = {rr::CL(30)}, nowhere = {rr::CL(70)};
  rr::AppendNM(back, "back");
  rr::AppendNM(nowhere, "nowhere");
  disc_.Unreadable(70);
  Session({WithSystemUse(IFile("BACK", 0, 0), back), WithSystemUse(IFile("NOWHERE", 0, 0), nowhere),
           Named(IFile("KEPT.TXT;1", 500, 10), "kept.txt")});
  ASSERT_TRUE(Import());
  EXPECT_TRUE(Reported("DIRECTORY LOOP AT SECTOR 30")) << ::testing::PrintToString(errors_);
  EXPECT_TRUE(Reported("CANNOT READ SECTOR 70")) << ::testing::PrintToString(errors_);
  EXPECT_EQ(Names(), std::vector<std::string>{"kept.txt"});
}

TEST_F(HandMadeRockRidge, ContinuationAreasThatLoopEndAfterAFewReads) {
  // A CE naming its own area, over and over.
  std::vector<std::uint8_t> area(2048, 0);
  const rr::Entry ce = rr::CE(60, 0, rr::kCeLength);
  std::copy(ce.begin(), ce.end(), area.begin());
  disc_.Raw(60, area);
  std::vector<rr::Entry> entries = {rr::CE(60, 0, rr::kCeLength)};
  rr::AppendNM(entries, "looped.txt");
  Session({WithSystemUse(IFile("LOOPED.TXT;1", 500, 10), entries)});
  ASSERT_TRUE(Import());
  EXPECT_EQ(Names(), std::vector<std::string>{"looped.txt"});
  EXPECT_LT(disc_.reads, 40u);
}

TEST_F(HandMadeRockRidge, LinkTargetsBeyondWhatReadersTakeAreLeftOut) {
  std::vector<rr::Entry> longLink = {rr::PX(0120777, 1, 0, 0, 1)}, shortLink = {rr::PX(0120777, 1, 0, 0, 2)};
  rr::AppendNM(longLink, "long link");
  rr::AppendSL(longLink, std::string(1500, 't'));
  rr::AppendNM(shortLink, "short link");
  rr::AppendSL(shortLink, "/etc/../target");
  // The long one's entries go on in a continuation area.
  Session({Continued(IFile("LONGLINK", 0, 0), {longLink[0]}, {longLink.begin() + 1, longLink.end()}, 61),
           WithSystemUse(IFile("SHORTLIN", 0, 0), shortLink)});
  ASSERT_TRUE(Import());
  EXPECT_TRUE(Reported(import_msg::INVALID_LINK)) << ::testing::PrintToString(errors_);
  // A name without a dot is "name." in the compilation (and as given on
  // the disc).
  EXPECT_EQ(Names(), std::vector<std::string>{"short link."});
  const TFEntry* link = tree_.FindChild(tree_.Root(), "short link.", false);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(*tree_.LinkTarget(link), "/etc/../target");
}

}  // namespace
}  // namespace velloran::image::testing
