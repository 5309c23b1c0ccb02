// Volume layout, descriptors, path tables and directory records.
#include "image/image_test_util.h"
#include "image/iso_names.h"
#include "image/zbCDBC.h"
#include "image/zbISOLib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>

namespace velloran::image {
namespace {

using test::ReadRecords;
using test::Record;
using test::ScratchDir;
namespace fs = std::filesystem;

// A target that never touches a drive.
class FakeTarget : public TSessionTarget {
 public:
  std::uint32_t nwa = 0;
  bool nwaOk = true;
  int imports = 0;
  std::uint8_t DiscKind() override { return 2; }
  bool NextWritableAddress(std::uint32_t& lba) override {
    lba = nwa;
    return nwaOk;
  }
  bool ImportSession(std::uint8_t, TDEntry*) override {
    ++imports;
    return false;
  }
};

std::string Slice(const std::vector<std::uint8_t>& m, std::size_t lbaOffset, std::size_t at, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(m.data() + lbaOffset * kSectorSize + at), n);
}

TEST(Burner, DefaultsOfANewComponent) {
  TZCDBurner b;
  EXPECT_TRUE(b.JolietFileSystem);
  EXPECT_TRUE(b.FinalizeTrack);
  EXPECT_TRUE(b.UnderrunProtection);
  EXPECT_TRUE(b.WritePostGap);
  EXPECT_FALSE(b.DoDebug);
  EXPECT_FALSE(b.ReplaceFile());
  EXPECT_FALSE(b.TestWrite);
  EXPECT_FALSE(b.FinalizeDisc);
  EXPECT_FALSE(b.PerformOPC);
  EXPECT_FALSE(b.Bootable);
  EXPECT_EQ(b.CacheSize(), 4194304);
  EXPECT_EQ(b.DirCount(), 0);
  EXPECT_EQ(b.FileCount(), 0);
  EXPECT_EQ(b.Tree().MaxFiles(), 65535);
  b.SetVersion("2.0");
  EXPECT_EQ(b.Version(), "1.23");
  const std::pair<int, int> cache[] = {{0, 2097152}, {4194305, 4194304}, {3000000, 2998272}, {4194304, 4194304}};
  for (auto [in, out] : cache) {
    b.SetCacheSize(in);
    EXPECT_EQ(b.CacheSize(), out) << in;
  }
}

TEST(Layout, RootOnlyWithoutJoliet) {
  TZCDBurner b;
  b.JolietFileSystem = false;
  ASSERT_TRUE(b.BuildLayout(true, nullptr));
  const TLayout& L = b.Layout();
  EXPECT_EQ(L.Pvd, 16u);
  EXPECT_EQ(L.Terminator, 17u);
  EXPECT_EQ(L.IsoL, 18u);
  EXPECT_EQ(L.IsoM, 19u);
  EXPECT_EQ(L.IsoDirArea, 20u);
  EXPECT_EQ(L.PaddingSectors, 129u);
  EXPECT_EQ(L.FirstFile, 150u);
  EXPECT_EQ(L.ImageSectors, 150);
  EXPECT_EQ(L.IsoPathTableSize, 10u);
  EXPECT_EQ(L.IsoOrder.size(), 1u);
  EXPECT_EQ(b.RootDir()->PathTableNumber, 1);
  // The post-gap minimum applies to what is reported, not to the layout.
  EXPECT_EQ(b.ImageSectors(), 300);
  b.WritePostGap = false;
  EXPECT_EQ(b.ImageSectors(), 150);
}

TEST(Layout, RootOnlyWithJoliet) {
  TZCDBurner b;
  ASSERT_TRUE(b.BuildLayout(true, nullptr));
  const TLayout& L = b.Layout();
  EXPECT_EQ((std::vector<std::uint32_t>{L.Pvd, L.JolietSvd, L.Terminator, L.IsoL, L.IsoM, L.JolietL, L.JolietM,
                                        L.IsoDirArea, L.JolietDirArea, L.FirstFile}),
            (std::vector<std::uint32_t>{16, 17, 18, 19, 20, 21, 22, 23, 24, 150}));
  EXPECT_EQ(L.JolietOrder.size(), 1u);
  ASSERT_TRUE(b.BuildMetadata(true, nullptr));
  EXPECT_EQ(b.Metadata().size(), 25u * kSectorSize);
  EXPECT_EQ(b.DescriptorCopy().size(), 19u * kSectorSize);
  EXPECT_TRUE(b.LayoutCurrent());
}

TEST(Layout, SecondSessionStartsAtTheNextWritableAddress) {
  ScratchDir dir("session");
  TZCDBurner b;
  FakeTarget target;
  target.nwa = 20000;
  b.SetSessionTarget(&target);
  b.AddFile("\\", dir.File("a.txt", "abc"), false);
  b.RequestNextWritableAddress = true;
  ASSERT_TRUE(b.BuildLayout(false, nullptr));
  const TLayout& L = b.Layout();
  EXPECT_EQ(L.StartAddress, 20000u);
  EXPECT_EQ(L.Pvd, 20016u);
  EXPECT_EQ(L.PaddingSectors, 0u);
  EXPECT_EQ(L.FirstFile, L.JolietDirArea + 1);
  EXPECT_EQ(L.VolumeSize, L.FirstFile + 1);
  EXPECT_EQ(L.ImageSectors, L.VolumeSize - 20000);
  EXPECT_EQ(b.ImageSectors(), 300);  // 26 sectors, raised by the post-gap rule
  b.WritePostGap = false;
  EXPECT_EQ(b.ImageSectors(), 26);
  ASSERT_TRUE(b.BuildMetadata(false, nullptr));
  // Every location in the descriptor is absolute.
  const auto& m = b.Metadata();
  EXPECT_EQ(le::load32(m.data() + 16 * kSectorSize + 80), L.VolumeSize);
  EXPECT_EQ(le::load32(m.data() + 16 * kSectorSize + 140), L.IsoL);
  auto recs = ReadRecords(m, 20000, L.IsoDirArea, 2048);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[2].extent, L.FirstFile);

  // A failed request is reported and the build goes on from 0; so is an
  // implausible address.
  std::vector<std::pair<std::string, int>> msgs;
  b.OnDebugMessage = [&](drive::TObject*, const std::string& t, std::uint8_t k) { msgs.emplace_back(t, k); };
  target.nwaOk = false;
  target.nwa = 0;
  b.BuildLayout(false, nullptr);
  EXPECT_EQ(b.Layout().StartAddress, 0u);
  ASSERT_FALSE(msgs.empty());
  EXPECT_EQ(msgs[0], (std::pair<std::string, int>{">>> ERROR GETTING NEXT WRITABLE ADDRESS", 0}));
  target.nwaOk = true;
  target.nwa = 0xFF000001u;
  b.BuildLayout(false, nullptr);
  EXPECT_EQ(b.Layout().StartAddress, 0u);
  // The session import hook runs only for a recording with a session number.
  b.ImportSessionNo = 2;
  b.BuildLayout(true, nullptr);
  EXPECT_EQ(target.imports, 0);
  b.BuildLayout(false, nullptr);
  EXPECT_EQ(target.imports, 1);
}

TEST(Layout, PathTableOfExactlyTwoSectorsHasNoPadding) {
  // 10 + 251 * (8 + 8) + 7 * (8 + 1 + 1) = 4096 bytes.
  Compilation c;
  c.ResetCompilation(1000, 1000);
  for (int i = 0; i < 251; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "D%07d", i);
    ASSERT_NE(c.CreateDir(nullptr, name, 16), nullptr);
  }
  for (char ch : std::string("ABCDEFG")) ASSERT_NE(c.CreateDir(nullptr, std::string(1, ch), 16), nullptr);
  TLayoutOptions o;
  o.Joliet = false;
  const TLayout L = BuildLayout(c, o);
  EXPECT_EQ(L.IsoPathTableSize, 4096u);
  EXPECT_EQ(L.IsoL, 18u);
  EXPECT_EQ(L.IsoM, 20u);
  EXPECT_EQ(L.IsoDirArea, 22u);
}

TEST(Layout, EmptyFilesPointAtExtentZero) {
  ScratchDir dir("empty");
  TZCDBurner b;
  b.AddFile("\\", dir.File("e1", ""), false);
  b.AddFile("\\", dir.File("data.bin", std::string(3000, 'd')), false);
  b.AddFile("\\", dir.File("e2.txt", ""), false);
  b.BuildLayout(true, nullptr);
  b.BuildMetadata(true, nullptr);
  const TLayout& L = b.Layout();
  EXPECT_EQ(L.FileDataSectors, 2);
  for (bool joliet : {false, true}) {
    // Records in name order: data.bin, e1, e2.txt.
    auto recs = ReadRecords(b.Metadata(), 0, joliet ? L.JolietDirArea : L.IsoDirArea, 2048);
    ASSERT_EQ(recs.size(), 5u);
    EXPECT_EQ(recs[2].extent, 150u);
    EXPECT_EQ(recs[2].size, 3000u);
    EXPECT_EQ(recs[3].extent, 0u);
    EXPECT_EQ(recs[3].size, 0u);
    EXPECT_EQ(recs[4].extent, 0u);
  }
}

TEST(Layout, VolumeLabelInBothDescriptors) {
  TZCDBurner b;
  b.IdVolume = "New Disc";
  b.ApplicationUse = "abc";
  b.BuildLayout(true, nullptr);
  b.BuildMetadata(true, nullptr);
  const auto& m = b.Metadata();
  EXPECT_EQ(Slice(m, 16, 40, 32), "NEW DISC" + std::string(24, ' '));
  std::string joliet;
  for (char ch : std::string("New Disc") + std::string(8, ' ')) joliet += std::string(1, '\0') + ch;
  EXPECT_EQ(Slice(m, 17, 40, 32), joliet);
  EXPECT_EQ(Slice(m, 16, 1024, 8), "ABC     ");
  EXPECT_EQ(Slice(m, 17, 1024, 8), "ABC     ");
  // Only the Joliet descriptor carries the escape sequence.
  EXPECT_EQ(Slice(m, 16, 88, 3), std::string(3, '\0'));
  EXPECT_EQ(Slice(m, 17, 88, 3), "%/@");
  // Joliet dates come from the properties; 0 is the date type's day zero.
  EXPECT_EQ(Slice(m, 17, 813, 16), "1899123000000000");
  EXPECT_EQ(Slice(m, 16, 847, 17), std::string("0000000000000000") + '\0');
  EXPECT_EQ(m[16 * kSectorSize + 881], 1);
  EXPECT_EQ(Slice(m, 18, 0, 7), std::string("\xFF" "CD001\x01", 7));
}

TEST(Layout, DescriptorDates) {
  EXPECT_EQ(DescriptorDate(0), "1899123000000000");
  // Milliseconds take at least two digits, and the whole is cut to 16.
  EXPECT_EQ(DescriptorDate(45351 + (13 * 3600 + 14 * 60 + 15.007) / 86400.0), "2024022913141507");
  EXPECT_EQ(DescriptorDate(45351 + (13 * 3600 + 14 * 60 + 15.123) / 86400.0), "2024022913141512");
}

TEST(Layout, BootImageMediaTypesAndPlace) {
  const std::pair<std::uint32_t, int> media[] = {{600, 1}, {720, 2}, {1440, 3}, {100, 4}, {721, 4}};
  for (auto [sectors, type] : media) EXPECT_EQ(BootMediaType(sectors), type) << sectors;

  ScratchDir dir("boot");
  TZCDBurner b;
  b.AddFile("\\", dir.File("a.txt", "a"), false);
  b.Bootable = true;
  b.BootImageFile = dir.File("floppy.img", std::string(1474560, '\x5A'));
  b.BuildLayout(true, nullptr);
  b.BuildMetadata(true, nullptr);
  const TLayout& L = b.Layout();
  EXPECT_EQ(L.BootRecord, 17u);
  EXPECT_EQ(L.JolietSvd, 18u);
  EXPECT_EQ(L.BootImageSectors, 720u);
  EXPECT_EQ(L.BootImage, L.BootCatalog + 1);
  EXPECT_EQ(L.FirstFile, L.BootImage + 720);
  const auto& m = b.Metadata();
  EXPECT_EQ(m.size(), (L.BootCatalog + 1) * std::size_t{kSectorSize});
  EXPECT_EQ(Slice(m, 17, 7, 23), "EL TORITO SPECIFICATION");
  EXPECT_EQ(le::load32(m.data() + 17 * kSectorSize + 71), L.BootCatalog);
  const std::uint8_t* cat = m.data() + L.BootCatalog * kSectorSize;
  std::uint32_t sum = 0;
  for (int i = 0; i < 16; ++i) sum += le::load16(cat + 2 * i);
  EXPECT_EQ(sum & 0xFFFF, 0u);
  EXPECT_EQ(cat[30], 0x55);
  EXPECT_EQ(cat[31], 0xAA);
  EXPECT_EQ(cat[32], 0x88);
  EXPECT_EQ(cat[33], 2);
  EXPECT_EQ(le::load32(cat + 40), L.BootImage);

  // A boot image that vanished switches booting off for the build.
  b.BootImageFile = (dir.path() / "gone.img").string();
  b.BuildLayout(true, nullptr);
  EXPECT_FALSE(b.Bootable);
  EXPECT_FALSE(b.Layout().Bootable);
}

// The ordering as the original procedure defines it: repeated shell sorts
// until the list is stable. The oracle for the fast ordering.
struct OracleEntry {
  std::string id;
  int depth = 0, creation = 0, parentCreation = 0, number = 0, parentNumber = 0;
};

// mode 0: depth then identifier; 1: parent number then identifier; 2: own
// number; 3: parent number alone. Positions 1..n; the root stays at 0.
void OracleSort(std::vector<OracleEntry>& v, int mode) {
  auto less = [mode](const OracleEntry& a, const OracleEntry& b) {
    const long ka = mode == 0 ? a.depth : mode == 2 ? a.number : a.parentNumber;
    const long kb = mode == 0 ? b.depth : mode == 2 ? b.number : b.parentNumber;
    if (ka != kb) return ka < kb;
    return (mode == 0 || mode == 1) && a.id < b.id;
  };
  const int n = static_cast<int>(v.size()) - 1;
  int gap = n;
  while (gap > 1) {
    gap /= 2;
    bool swapped = true;
    while (swapped) {
      swapped = false;
      for (int b = 1; b <= n - gap; ++b)
        if (less(v[b + gap], v[b])) std::swap(v[b], v[b + gap]), swapped = true;
    }
  }
}

void OracleRenumber(std::vector<OracleEntry>& v) {
  std::vector<int> numberOf(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) numberOf[static_cast<std::size_t>(v[i].creation)] = static_cast<int>(i + 1);
  for (auto& e : v) {
    e.number = numberOf[static_cast<std::size_t>(e.creation)];
    e.parentNumber = numberOf[static_cast<std::size_t>(e.parentCreation)];
  }
}

std::vector<std::string> OracleOrder(const Compilation& c) {
  const auto& dirs = c.Dirs();
  std::vector<OracleEntry> v;
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    int parent = 0;
    for (std::size_t k = 0; k < dirs.size(); ++k)
      if (dirs[k].get() == dirs[i]->Parent) parent = static_cast<int>(k);
    v.push_back({dirs[i]->IsoName, dirs[i]->Depth, static_cast<int>(i), parent, 0, 0});
  }
  OracleRenumber(v);
  OracleSort(v, 0), OracleRenumber(v);
  OracleSort(v, 1), OracleRenumber(v);
  for (bool again = true; again;) {
    OracleSort(v, 2), OracleRenumber(v);
    OracleSort(v, 3), OracleRenumber(v);
    OracleSort(v, 2), OracleRenumber(v);
    OracleSort(v, 1), OracleRenumber(v);
    again = false;
    for (std::size_t i = 2; i < v.size(); ++i) again |= v[i].parentNumber < v[i - 1].parentNumber;
  }
  std::vector<std::string> out;
  for (auto& e : v) out.push_back(dirs[static_cast<std::size_t>(e.creation)]->Path);
  return out;
}

TEST(Ordering, SmallExample) {
  Compilation c;
  c.CreateDir(nullptr, "B", 16);
  TDEntry* a = c.CreateDir(nullptr, "A", 16);
  c.CreateDir(a, "C", 16);
  auto order = OrderIsoPathTable(c);
  std::vector<std::string> names;
  for (auto* d : order) names.push_back(d->IsoName);
  EXPECT_EQ(names, (std::vector<std::string>{"CD_ROOT", "A", "B", "C"}));
  EXPECT_EQ(c.FindDir("\\A\\C")->Parent->PathTableNumber, 2);
  EXPECT_EQ(c.FindDir("\\A\\C")->PathTableNumber, 4);
}

TEST(Ordering, MatchesTheRepeatedSortOnRandomTrees) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 20; ++round) {
    Compilation c;
    std::vector<TDEntry*> all{c.Root()};
    const int n = 5 + static_cast<int>(rng() % 60);
    for (int i = 0; i < n; ++i) {
      TDEntry* parent = all[rng() % all.size()];
      std::string name;
      const int len = 1 + static_cast<int>(rng() % 4);
      for (int k = 0; k < len; ++k) name += static_cast<char>('A' + rng() % 4);
      TDEntry* d = c.CreateDir(parent, name, 16);
      if (d && std::find(all.begin(), all.end(), d) == all.end()) all.push_back(d);
    }
    std::vector<std::string> fast;
    for (auto* d : OrderIsoPathTable(c)) fast.push_back(d->Path);
    EXPECT_EQ(fast, OracleOrder(c)) << "round " << round;
  }
}

TEST(Ordering, ParentNumbersAboveFourDigitsSortNumerically) {
  Compilation c;
  c.ResetCompilation(30000, 12000);
  // 10001 directories below the root, then one below the last of them.
  TDEntry* last = nullptr;
  for (int i = 0; i < 10001; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "D%05d", i);
    last = c.CreateDir(nullptr, name, 16);
  }
  TDEntry* early = c.CreateDir(c.FindDir("\\D00009"), "Z", 16);
  TDEntry* late = c.CreateDir(last, "A", 16);
  auto order = OrderIsoPathTable(c);
  EXPECT_EQ(last->PathTableNumber, 10002);
  EXPECT_EQ(late->Parent->PathTableNumber, 10002);
  EXPECT_LT(early->PathTableNumber, late->PathTableNumber);
  EXPECT_EQ(order.back(), late);
}

TEST(Records, NeverCrossASectorAndSplitLargeFiles) {
  ScratchDir dir("records");
  Compilation c;
  for (int i = 0; i < 120; ++i) c.AddFile("\\", dir.File("file number " + std::to_string(i) + ".dat", "z"), false);
  // A sparse file of 5 GiB needs two extents.
  const std::string big = (dir.path() / "big.bin").string();
  { std::ofstream(big) << ""; }
  fs::resize_file(big, 5LL << 30);
  c.AddFile("\\", big, false);
  ResolveNames(c);
  TLayoutOptions o;
  const TLayout L = BuildLayout(c, o);
  std::vector<std::uint8_t> meta;
  TVolumeInfo info;
  ASSERT_TRUE(BuildMetadata(c, L, info, meta));
  for (bool joliet : {false, true}) {
    const TDEntry& root = *c.Root();
    const auto size = static_cast<std::uint32_t>(joliet ? root.JolietExtentSize : root.IsoExtentSize);
    EXPECT_GT(size, 2048u);
    auto recs = ReadRecords(meta, 0, joliet ? L.JolietDirArea : L.IsoDirArea, size);
    ASSERT_EQ(recs.size(), 2u + 120u + 2u);
    for (auto& r : recs) {
      EXPECT_EQ(r.offset / kSectorSize, (r.offset + r.length - 1) / kSectorSize) << "record crosses a sector";
      EXPECT_EQ(r.length % 2, 0);
    }
    // big.bin sorts first, its two parts one after the other.
    const Record& p1 = recs[2];
    const Record& p2 = recs[3];
    EXPECT_EQ(p1.id, p2.id);
    EXPECT_EQ(p1.flags, 0x80);
    EXPECT_EQ(p2.flags, 0);
    EXPECT_EQ(p1.size, 0xFFFFF800u);
    EXPECT_EQ(std::uint64_t{p1.size} + p2.size, 5ULL << 30);
    EXPECT_EQ(p2.extent, p1.extent + 0xFFFFF800u / 2048);
  }
  EXPECT_EQ(L.FileDataSectors, 120 + (5LL << 30) / 2048);
}

TEST(Records, JolietNamesUpTo109CharactersFitARecord) {
  ScratchDir dir("joliet");
  Compilation c;
  c.AddFile("\\", dir.File(std::string(104, 'a') + ".txt"), false);  // 108 characters
  c.AddFile("\\", dir.File(std::string(105, 'b') + ".txt"), false);  // 109 characters
  const TFEntry* a = c.FindFile(c.Root(), std::string(104, 'a') + ".txt");
  const TFEntry* b = c.FindFile(c.Root(), std::string(105, 'b') + ".txt");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(JolietRecordIdentifier(*a).size(), 220u);  // with ";1"
  EXPECT_EQ(JolietRecordIdentifier(*b).size(), 218u);  // ";1" would not fit in 255 bytes
  EXPECT_LE(RecordLength(JolietRecordIdentifier(*a).size()), 255u);
  EXPECT_LE(RecordLength(JolietRecordIdentifier(*b).size()), 255u);
  EXPECT_LE(IsoRecordIdentifier(*b).size(), 14u);
}

// Sets TZ for the life of the object.
class ZoneScope {
 public:
  explicit ZoneScope(const char* tz) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) saved_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ZoneScope() {
    if (had_)
      ::setenv("TZ", saved_.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  bool had_ = false;
  std::string saved_;
};

TEST(Records, EachDateCarriesTheOffsetInForceAtIt) {
  ZoneScope zone("CET-1CEST,M3.5.0,M10.5.0/3");
  ScratchDir dir("dates");
  const struct {
    const char* name;
    std::time_t utc;
    std::vector<int> recorded;  // years since 1900, month, day, hour, minute, second, quarter hours east
  } rows[] = {
      {"winter.txt", 1705320000, {124, 1, 15, 13, 0, 0, 4}},   // 2024-01-15 12:00 UTC
      {"summer.txt", 1721044800, {124, 7, 15, 14, 0, 0, 8}},   // 2024-07-15 12:00 UTC
      // 02:30 twice on 2024-10-27: first under summer time, then winter time.
      {"before.txt", 1729989000, {124, 10, 27, 2, 30, 0, 8}},  // 00:30 UTC
      {"after.txt", 1729992600, {124, 10, 27, 2, 30, 0, 4}},   // 01:30 UTC
  };
  Compilation c;
  for (const auto& r : rows) {
    const std::string path = dir.File(r.name);
    const struct timespec times[2] = {{r.utc, 0}, {r.utc, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ASSERT_EQ(c.AddFile("\\", path, false), 1);
  }
  // A date a handler sets is local time: its offset is the one in force then.
  c.Events.addFile = [](const std::string&, std::string&, std::string&, TDateTime& date, int, std::int64_t, bool&) {
    date = 45488 + 0.5;  // 2024-07-15 12:00 local
  };
  c.AddFile("\\", dir.File("handler.txt"), false);
  ResolveNames(c);
  const TLayout L = BuildLayout(c, TLayoutOptions{});
  std::vector<std::uint8_t> meta;
  TVolumeInfo info;
  info.Now = 45488 + 0.5;
  info.TimeZoneBias = -120;
  info.DateCreation = 45306 + 0.5;  // 2024-01-15 12:00 local
  ASSERT_TRUE(BuildMetadata(c, L, info, meta));
  for (bool joliet : {false, true}) {
    auto recs = ReadRecords(meta, 0, joliet ? L.JolietDirArea : L.IsoDirArea, 2048);
    ASSERT_EQ(recs.size(), 2u + std::size(rows) + 1);
    EXPECT_EQ(recs[0].date[6], 8) << "\".\" is dated now, under the offset of now";
    for (const auto& r : recs) {
      std::string name;
      for (std::size_t i = joliet ? 1 : 0; i < r.id.size(); i += joliet ? 2 : 1) name += r.id[i];
      name = Compilation::UpperAscii(name.substr(0, name.find(';')));
      for (const auto& row : rows) {
        if (name == Compilation::UpperAscii(row.name)) {
          EXPECT_EQ(std::vector<int>(r.date, r.date + 7), row.recorded) << row.name;
        }
      }
      if (name == "HANDLER.TXT") {
        EXPECT_EQ(r.date[6], 8);
      }
    }
  }
  // The descriptors: the primary one dated now, the Joliet one by its
  // property, each with its offset.
  EXPECT_EQ(meta[16 * kSectorSize + 813 + 16], 8);
  EXPECT_EQ(meta[16 * kSectorSize + 830 + 16], 8);
  EXPECT_EQ(meta[17 * kSectorSize + 813 + 16], 4);
  EXPECT_EQ(meta[17 * kSectorSize + 830 + 16], 0) << "a date left at 0 has no offset";
}

// Identifiers of a directory's records after "." and "..", as text (Joliet:
// the low byte of each unit, enough for ASCII names).
std::vector<std::string> RecordNames(const std::vector<std::uint8_t>& meta, std::uint32_t lba, std::uint32_t size,
                                     bool joliet) {
  std::vector<std::string> names;
  auto recs = ReadRecords(meta, 0, lba, size);
  for (std::size_t i = 2; i < recs.size(); ++i) {
    std::string n;
    for (std::size_t k = joliet ? 1 : 0; k < recs[i].id.size(); k += joliet ? 2 : 1) n += recs[i].id[k];
    names.push_back(n);
  }
  return names;
}

TEST(Records, SortedAsTheStandardOrdersThem) {
  // Added in a scrambled order; the expected orders follow ECMA-119 9.3:
  // file name, then extension, each padded with blanks, so "AB." comes
  // before "AB.1", "AB.1" before "AB.10", "a.txt" before "a b.txt", where
  // plain byte order would say otherwise.
  ScratchDir dir("sorted");
  Compilation c;
  for (const char* name : {"zz/", "b.txt", "ab.10", "a b.txt", "ab", "A/", "ab.1", "a.txt", "a.c", "a0.txt", "A1/",
                           "B.txt", "z"}) {
    const std::string n = name;
    if (n.back() == '/')
      ASSERT_NE(c.CreateDir(nullptr, n.substr(0, n.size() - 1), 16), nullptr);
    else
      ASSERT_EQ(c.AddFile("\\", dir.File(n), false), 1);
  }
  // Subfolders of A, to see the path table follow the records.
  TDEntry* a = c.FindDir("\\A");
  for (const char* name : {"y.z", "y z", "Y"}) c.CreateDir(a, name, 16);
  ResolveNames(c);
  const TLayout L = BuildLayout(c, TLayoutOptions{});
  std::vector<std::uint8_t> meta;
  ASSERT_TRUE(BuildMetadata(c, L, TVolumeInfo{}, meta));
  const TDEntry& root = *c.Root();
  EXPECT_EQ(RecordNames(meta, L.IsoDirArea, static_cast<std::uint32_t>(root.IsoExtentSize), false),
            (std::vector<std::string>{"A", "A.C;1", "A.TXT;1", "A0.TXT;1", "A1", "AB.;1", "AB.1;1", "AB.10;1",
                                      "AB~1.TXT;1", "B.TXT;1", "B~1.TXT;1", "Z.;1", "ZZ"}));
  EXPECT_EQ(RecordNames(meta, L.JolietDirArea, static_cast<std::uint32_t>(root.JolietExtentSize), true),
            (std::vector<std::string>{"A", "A1", "B~1.txt;1", "a.c;1", "a.txt;1", "a b.txt;1", "a0.txt;1", "ab.;1",
                                      "ab.1;1", "ab.10;1", "b.txt;1", "z.;1", "zz"}));
  // The path table lists A's folders in the order of A's records.
  for (bool joliet : {false, true}) {
    const auto& order = joliet ? L.JolietOrder : L.IsoOrder;
    std::vector<std::string> inTable;
    for (const TDEntry* d : order)
      if (d->Parent == a) inTable.push_back(joliet ? d->JolietName : d->IsoName);
    std::vector<std::string> inRecords = RecordNames(
        meta, (joliet ? L.JolietDirArea + a->JolietExtentOffset : L.IsoDirArea + a->IsoExtentOffset),
        static_cast<std::uint32_t>(joliet ? a->JolietExtentSize : a->IsoExtentSize), joliet);
    EXPECT_EQ(inTable, inRecords) << (joliet ? "Joliet" : "ISO");
  }
}

TEST(Layout, DebugLinesWhenAsked) {
  TZCDBurner b;
  std::vector<std::string> lines;
  b.OnDebugMessage = [&](drive::TObject*, const std::string& t, std::uint8_t) { lines.push_back(t); };
  b.BuildLayout(true, nullptr);
  EXPECT_TRUE(lines.empty());
  b.DoDebug = true;
  b.BuildLayout(true, nullptr);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "0 Files Added to CD, now sorting"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), " First File Location                  :00000150"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), " Path Table Records Location (Most)  J:00000022"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Sorting .... Done"), lines.end());
}

// Reads the whole metadata through a TMetadataSource in ranges of the sizes
// given, taken in turn (so that the ranges start everywhere), and checks
// that the bytes are those BuildMetadata writes at once.
void ExpectRangesAreTheWholeMetadata(const Compilation& c, const TLayout& L, const TVolumeInfo& info,
                                     std::initializer_list<std::vector<std::uint32_t>> sizeCycles) {
  std::vector<std::uint8_t> whole;
  ASSERT_TRUE(BuildMetadata(c, L, info, whole));
  const TMetadataSource source(c, L, info);
  ASSERT_EQ(std::size_t{source.Sectors()} * kSectorSize, whole.size());
  for (const auto& sizes : sizeCycles) {
    std::vector<std::uint8_t> streamed(whole.size(), 0xEE);
    std::size_t turn = 0;
    for (std::uint32_t at = 0; at < source.Sectors(); ++turn) {
      const std::uint32_t n = std::min(sizes[turn % sizes.size()], source.Sectors() - at);
      ASSERT_TRUE(source.Read(at, n, streamed.data() + std::size_t{at} * kSectorSize)) << "at " << at << " n " << n;
      at += n;
    }
    if (streamed == whole) continue;
    std::size_t k = 0;
    while (streamed[k] == whole[k]) ++k;
    ADD_FAILURE() << "ranges of " << testing::PrintToString(sizes) << " sectors: first difference in sector "
                  << k / kSectorSize << " (LBA " << L.StartAddress + k / kSectorSize << "), byte "
                  << k % kSectorSize;
  }
  std::vector<std::uint8_t> sector(2 * kSectorSize);
  EXPECT_FALSE(source.Read(source.Sectors(), 1, sector.data()));
  EXPECT_FALSE(source.Read(source.Sectors() - 1, 2, sector.data()));
}

// The jobs stream the metadata in pieces of any size: every piece must be
// the bytes the whole buffer holds there, whatever structure it cuts
// through (a descriptor, a path table, a directory of several sectors, the
// boot catalog), in both sessions' positions and with or without Joliet.
TEST(Metadata, StreamedInPiecesOfAnySizeIsTheWholeBuffer) {
  Compilation c;
  platform::TSearchRec rec;
  rec.Attr = 32;
  rec.Time = 1700000000;
  TDEntry* big = c.CreateDir(nullptr, "a folder of many files", 16);
  for (int i = 0; i < 300; ++i) {  // several sectors of records
    rec.Name = "file with a long name number " + std::to_string(i) + ".txt";
    rec.Size = i * 1000;
    c.AddFileEntry(big, "/nonexistent", rec, 0);
  }
  for (int d = 0; d < 40; ++d) {
    TDEntry* sub = c.CreateDir(d % 2 ? big : nullptr, "sub" + std::to_string(d), 16);
    rec.Name = "inside.dat";
    c.AddFileEntry(sub, "/nonexistent", rec, 0);
  }
  ResolveNames(c);
  struct Row {
    bool joliet, bootable;
    std::uint32_t start;
  };
  for (const Row row : {Row{true, false, 0}, Row{false, false, 0}, Row{true, true, 0}, Row{true, true, 31000},
                        Row{false, true, 12345}}) {
    SCOPED_TRACE(testing::Message() << "joliet " << row.joliet << " bootable " << row.bootable << " start "
                                    << row.start);
    TLayoutOptions options;
    options.Joliet = row.joliet;
    options.Bootable = row.bootable;
    options.BootImageBytes = row.bootable ? 1474560 : 0;
    options.StartAddress = row.start;
    const TLayout L = BuildLayout(c, options);
    TVolumeInfo info;
    info.IdVolume = "PIECES";
    info.Now = 45000.5;
    ExpectRangesAreTheWholeMetadata(c, L, info, {{1}, {2}, {5}, {16}, {L.MetadataEnd - L.StartAddress}});
  }
}

// With Rock Ridge the records of a directory also write pieces into the
// continuation areas after all the directories, and a directory too deep
// for ISO 9660 is moved below the relocation folder (its records then lie
// after every other directory's, its pieces too): a range must get the
// pieces of every directory that reaches into it, from wherever the range
// starts and whatever it cuts through.
TEST(Metadata, StreamedWithRockRidgeIsTheWholeBuffer) {
  Compilation c;
  platform::TSearchRec rec;
  rec.Attr = 32;
  rec.Time = 1700000000;
  rec.Mode = 0100640;
  rec.Uid = 1000;
  rec.Gid = 100;
  auto file = [&](TDEntry* dir, const std::string& name, std::int64_t size) {
    rec.Name = name;
    rec.Size = size;
    ASSERT_NE(c.AddFileEntry(dir, "/nonexistent", rec, 0), nullptr) << name;
  };
  // Names over the room of a record: each needs a continuation area, and
  // the areas of this folder alone take several sectors.
  TDEntry* longNames = c.CreateDir(nullptr, "Long names", 16);
  for (int i = 0; i < 120; ++i) file(longNames, std::to_string(i) + " " + std::string(180 + i % 60, 'n') + ".jpg", i);
  // Folders without continuation areas between folders with them.
  for (int d = 0; d < 12; ++d) {
    TDEntry* sub = c.CreateDir(d % 3 ? nullptr : longNames, "plain" + std::to_string(d), 16);
    file(sub, "a.txt", 10);
    if (d % 4 == 1) file(sub, "x" + std::string(230, 'y') + std::to_string(d), 5);
  }
  // Links whose targets take continuation areas too.
  platform::TSearchRec link;
  link.Attr = platform::faSymLink;
  link.Time = 1700000000;
  link.Mode = 0120777;
  for (int i = 0; i < 6; ++i) {
    link.Name = "link" + std::to_string(i);
    link.LinkTarget = "../" + std::string(150 + 40 * i, 't') + "/" + std::string(120, 'u');
    ASSERT_NE(c.AddFileEntry(longNames, "/nonexistent", link, 0), nullptr);
  }
  // Two chains of twelve levels: the levels below the eighth are moved.
  for (const std::string top : {"deep", "deeper"}) {
    TDEntry* d = c.CreateDir(nullptr, top, 16);
    for (int level = 2; level <= 12; ++level) {
      d = c.CreateDir(d, "level " + std::to_string(level) + " " + std::string(level * 15, 'l'), 16);
      file(d, "here.txt", level);
      if (level >= 8)
        for (int i = 0; i < 25; ++i) file(d, "photo " + std::to_string(i) + std::string(200, 'p') + ".jpg", i);
    }
  }
  ResolveNames(c);
  struct Row {
    bool joliet, bootable, owners;
    std::uint32_t start;
  };
  const Row rows[] = {{true, false, false, 0}, {false, false, true, 0}, {true, true, true, 0},
                      {true, false, false, 23456}, {false, true, false, 1200}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "joliet " << row.joliet << " bootable " << row.bootable << " owners "
                                    << row.owners << " start " << row.start);
    TLayoutOptions options;
    options.RockRidge = true;
    options.RockRidgeOwners = row.owners;
    options.Joliet = row.joliet;
    options.Bootable = row.bootable;
    options.BootImageBytes = row.bootable ? 1474560 : 0;
    options.StartAddress = row.start;
    const TLayout L = BuildLayout(c, options);
    // What the compilation must bring about, or the test proves little.
    ASSERT_TRUE(L.Relocation);
    EXPECT_EQ(L.Relocation->Moved.size(), 2u);
    EXPECT_GE(L.RockRidgeSectors, 12u);
    EXPECT_GE(longNames->IsoExtentSize, 4 * kSectorSize);
    TVolumeInfo info;
    info.IdVolume = "PIECES";
    info.Now = 45000.5;
    info.TimeZoneBias = -60;
    ExpectRangesAreTheWholeMetadata(c, L, info, {{1}, {3}, {17}, {2, 5, 1, 17, 3}, {L.MetadataEnd - L.StartAddress}});
    if (&row != &rows[0]) continue;
    // Every range of up to a few sectors, from every sector.
    std::vector<std::uint8_t> whole;
    ASSERT_TRUE(BuildMetadata(c, L, info, whole));
    const TMetadataSource source(c, L, info);
    std::vector<std::uint8_t> piece(7 * kSectorSize);
    for (std::uint32_t at = 0; at < source.Sectors(); ++at)
      for (const std::uint32_t n : {1u, 2u, 7u}) {
        if (at + n > source.Sectors()) continue;
        ASSERT_TRUE(source.Read(at, n, piece.data()));
        ASSERT_EQ(0, std::memcmp(piece.data(), whole.data() + std::size_t{at} * kSectorSize, n * kSectorSize))
            << n << " sectors from sector " << at;
      }
  }
}

}  // namespace
}  // namespace velloran::image
