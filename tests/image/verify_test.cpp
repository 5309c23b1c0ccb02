// The verifier on an image in memory: what each kind of damage to the data,
// the directory records or the descriptors is reported as, and that the
// digests the session stream takes are those of the sources.
#include "image/disc_verify.h"
#include "image/image_test_util.h"
#include "image/zbCDBC.h"

#include <gtest/gtest.h>

#include <set>

namespace velloran::image {
namespace {

using test::ScratchDir;

std::vector<std::uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

platform::TDigest Sha(const std::vector<std::uint8_t>& data) {
  platform::Sha256 h;
  h.Update(data.data(), data.size());
  return h.Final();
}

constexpr const char* kDeep = "\\a\\b\\c\\d\\e\\f\\g\\h\\i\\j";

// A saved image of a small compilation, what the burn's reader hashed, and
// the entries the verifier expects.
struct Saved {
  ScratchDir dir{"verify"};
  TZCDBurner b;
  std::vector<std::uint8_t> image;
  std::vector<platform::TDigest> digests;
  std::vector<TExpectedEntry> expected;
  std::string sparse;

  // With Rock Ridge the compilation also holds a folder ten levels deep,
  // which the ISO 9660 tree keeps below its relocation folder.
  explicit Saved(bool rockRidge = false) {
    if (rockRidge) {
      b.RockRidge = true;
      b.ForceDirs(kDeep);
      b.AddFile(kDeep, dir.File("deep.txt", std::string(3000, 'd')), false);
    }
    b.ForceDirs("\\Dossier été\\deeper");
    b.AddFile("\\Dossier été\\deeper", dir.File("victim.bin", std::string(5000, 'v') + std::string(3000, 'w')), false);
    b.AddFile("\\", dir.File("other.txt", "other"), false);
    b.AddFile("\\", dir.File("empty", ""), false);
    // Holes read as zeros without reading them; the digest must still be
    // that of the file's bytes.
    sparse = dir.File("sparse.bin", "");
    {
      std::ofstream f(sparse, std::ios::binary);
      f << "start";
      f.seekp(300000);
      f << "end";
    }
    b.AddFile("\\", sparse, false);
    const std::string out = (dir.path() / "v.iso").string();
    EXPECT_EQ(b.SaveImageFile(out, true), 1);
    image = ReadAll(out);
    const TImagePlan plan = b.ImagePlan();
    TImageReader reader(plan);
    reader.HashFiles(&digests);
    std::vector<std::uint8_t> buf(1 << 20);
    while (reader.Read(buf.data(), buf.size()) > 0) {
    }
    EXPECT_EQ(reader.Error(), "");
    expected = ExpectedEntries(b.Tree(), true, &b.Layout(), &plan, &digests, nullptr);
  }

  // The root directory record of name in one name space, as a pointer into the image.
  std::uint8_t* Record(const std::string& dirPath, const std::string& id, bool joliet) {
    std::uint32_t lba = joliet ? b.Layout().JolietDirArea : b.Layout().IsoDirArea;
    const TDEntry* d = b.FindDir(dirPath);
    lba += static_cast<std::uint32_t>(joliet ? d->JolietExtentOffset : d->IsoExtentOffset);
    std::uint8_t* sector = image.data() + std::size_t{lba} * kSectorSize;
    std::vector<TDirRecord> records;
    ParseDirectorySector(std::span<const std::uint8_t>(sector, kSectorSize), records);
    for (const auto& r : records) {
      bool changed = false;
      if (RecordName(r.Identifier, joliet, changed) == id) return sector + r.Offset;
    }
    ADD_FAILURE() << "no record " << id;
    return sector;
  }

  // Rewrites a file's record in one name space as two: the first part of
  // `first` bytes flagged "more extents follow", the rest right after it,
  // as a file of 4 GiB and more is recorded.
  void Split(const std::string& dirPath, const std::string& id, bool joliet, std::uint32_t first) {
    std::uint8_t* r = Record(dirPath, id, joliet);
    const std::size_t len = r[0];
    std::uint8_t* sector = image.data() + (r - image.data()) / kSectorSize * kSectorSize;
    const std::size_t at = static_cast<std::size_t>(r - sector);
    std::vector<std::uint8_t> part1(r, r + len), part2(r, r + len);
    const std::uint32_t extent = le::load32(r + 2), size = le::load32(r + 10);
    both::store32(part1.data() + 10, first);
    part1[25] |= 0x80;
    both::store32(part2.data() + 2, extent + first / kSectorSize);
    both::store32(part2.data() + 10, size - first);
    std::vector<std::uint8_t> rest(sector + at + len, sector + kSectorSize - len);
    std::copy(part1.begin(), part1.end(), sector + at);
    std::copy(part2.begin(), part2.end(), sector + at + len);
    std::copy(rest.begin(), rest.end(), sector + at + 2 * len);
  }

  std::vector<TVerifyMismatch> Verify(const std::set<std::uint32_t>& unreadable = {}) {
    TVerifier v([&](std::uint32_t lba, std::uint32_t count, std::uint8_t* out) {
      for (std::uint32_t i = 0; i < count; ++i) {
        if (unreadable.count(lba + i)) return false;
        const std::size_t from = std::size_t{lba + i} * kSectorSize;
        if (from + kSectorSize > image.size())
          std::fill(out + std::size_t{i} * kSectorSize, out + std::size_t{i + 1} * kSectorSize, 0);
        else
          std::copy(image.begin() + from, image.begin() + from + kSectorSize, out + std::size_t{i} * kSectorSize);
      }
      return true;
    });
    return v.VerifySession(0, expected, true);
  }

  std::uint32_t DataLba(const std::string& dirPath, const std::string& name) {
    return le::load32(Record(dirPath, name, true) + 2);
  }
  std::uint32_t VictimLba() { return le::load32(Record("\\Dossier été\\deeper", "victim.bin", true) + 2); }
};

TEST(ImageReader, DigestsAreThoseOfTheSourcesHolesIncluded) {
  Saved s;
  const TImagePlan plan = s.b.ImagePlan();
  ASSERT_EQ(s.digests.size(), plan.Files.size());
  for (std::size_t i = 0; i < plan.Files.size(); ++i)
    EXPECT_EQ(platform::HexDigest(s.digests[i]), platform::HexDigest(Sha(ReadAll(plan.Files[i].SourcePath()))))
        << plan.Files[i].SourcePath();
}

TEST(Verifier, EachDamageIsReportedForTheRightFile) {
  // The ISO 9660 names the compilation gave (the naming rules are not what
  // is tested here).
  std::string isoVictim, isoVictimName;
  {
    Saved s;
    const TDEntry* deeper = s.b.FindDir("\\Dossier été\\deeper");
    isoVictimName = s.b.FindFile(deeper, "victim.bin")->IsoName;
    isoVictim = deeper->Parent->IsoName + "/" + deeper->IsoName + "/" + isoVictimName;
  }
  const std::string jolietVictim = "Dossier été/deeper/victim.bin";
  struct Case {
    const char* what;
    std::function<void(Saved&)> damage;
    std::function<std::set<std::uint32_t>(Saved&)> unreadable;
    // Expected: problem, ISO path, Joliet path, a piece of the text.
    std::vector<std::tuple<TVerifyProblem, std::string, std::string, std::string>> found;
  } cases[] = {
      {"sound", nullptr, nullptr, {}},
      {"a data byte flipped",
       [](Saved& s) { s.image[std::size_t{s.VictimLba() + 3} * kSectorSize + 7] ^= 1; }, nullptr,
       {{TVerifyProblem::ContentDiffers, isoVictim, jolietVictim, "CONTENT DIFFERS"}}},
      {"a data sector unreadable", nullptr, [](Saved& s) { return std::set<std::uint32_t>{s.VictimLba() + 2}; },
       {{TVerifyProblem::Unreadable, isoVictim, jolietVictim, "CANNOT BE READ"}}},
      {"ISO size changed",
       [&](Saved& s) { both::store32(s.Record("\\Dossier été\\deeper", isoVictimName, false) + 10, 7999); }, nullptr,
       {{TVerifyProblem::SizeDiffers, isoVictim, jolietVictim, "7999 BYTES ON THE DISC, 8000 EXPECTED (ISO 9660)"}}},
      {"Joliet extent moved",
       [](Saved& s) {
         std::uint8_t* r = s.Record("\\Dossier été\\deeper", "victim.bin", true);
         both::store32(r + 2, le::load32(r + 2) + 1);
       },
       nullptr, {{TVerifyProblem::ExtentDiffers, isoVictim, jolietVictim, "(JOLIET)"}}},
      {"Joliet name changed",
       [](Saved& s) { s.Record("\\", "other.txt", true)[33 + 1] = 'O'; }, nullptr,
       {{TVerifyProblem::Missing, "OTHER.TXT", "other.txt", "MISSING FROM THE JOLIET TREE"},
        {TVerifyProblem::NotExpected, "", "Other.txt", "NOT IN THE COMPILATION"}}},
      {"recorded as two extents",
       [&](Saved& s) {
         s.Split("\\Dossier été\\deeper", isoVictimName, false, 4096);
         s.Split("\\Dossier été\\deeper", "victim.bin", true, 4096);
       },
       nullptr, {}},
      {"two extents, the second damaged",
       [&](Saved& s) {
         s.Split("\\Dossier été\\deeper", isoVictimName, false, 4096);
         s.Split("\\Dossier été\\deeper", "victim.bin", true, 4096);
         s.image[std::size_t{s.VictimLba() + 3} * kSectorSize] ^= 1;
       },
       nullptr, {{TVerifyProblem::ContentDiffers, isoVictim, jolietVictim, "CONTENT DIFFERS"}}},
      {"no primary descriptor",
       [](Saved& s) { std::fill_n(s.image.begin() + 16 * kSectorSize, kSectorSize, 0); }, nullptr,
       {{TVerifyProblem::NoFileSystem, "", "", "NO ISO 9660 VOLUME DESCRIPTOR FROM SECTOR 16"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Saved s;
    if (c.damage) c.damage(s);
    const auto found = s.Verify(c.unreadable ? c.unreadable(s) : std::set<std::uint32_t>{});
    ASSERT_EQ(found.size(), c.found.size()) << (found.empty() ? "" : MismatchLine(found[0]));
    for (std::size_t i = 0; i < found.size(); ++i) {
      const auto& [problem, iso, joliet, text] = c.found[i];
      EXPECT_EQ(found[i].Problem, problem) << MismatchLine(found[i]);
      EXPECT_EQ(found[i].IsoPath, iso);
      EXPECT_EQ(found[i].JolietPath, joliet);
      EXPECT_NE(found[i].Text.find(text), std::string::npos) << found[i].Text;
    }
  }
}

// Rock Ridge moves a folder below ISO 9660's eighth level into its
// relocation folder and leaves an empty file where it was: a sound disc
// verifies, and a damaged file below the moved folder is named where each
// tree has it.
TEST(Verifier, FoldersRockRidgeMovedAreLookedForWhereTheyWent) {
  for (const bool damage : {false, true}) {
    SCOPED_TRACE(damage);
    Saved s(true);
    ASSERT_TRUE(s.b.Layout().Relocation);
    if (damage) s.image[std::size_t{s.DataLba(kDeep, "deep.txt")} * kSectorSize + 5] ^= 1;
    const auto found = s.Verify();
    if (!damage) {
      for (const auto& m : found) ADD_FAILURE() << MismatchLine(m);
      continue;
    }
    ASSERT_EQ(found.size(), 1u) << MismatchLine(found[0]);
    EXPECT_EQ(found[0].Problem, TVerifyProblem::ContentDiffers);
    EXPECT_EQ(found[0].IsoPath, "RR_MOVED/H/I/J/DEEP.TXT");
    EXPECT_EQ(found[0].JolietPath, "a/b/c/d/e/f/g/h/i/j/deep.txt");
  }
}

}  // namespace
}  // namespace velloran::image
