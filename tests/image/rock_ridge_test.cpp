// Rock Ridge entries (SUSP/RRIP): pieces of long names and links, dates,
// malformed areas; and the layout's room for System Use and continuation
// areas.
#include "image/image_test_util.h"
#include "image/rock_ridge.h"
#include "image/zbCDBC.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace velloran::image {
namespace {

using test::ScratchDir;

std::vector<std::uint8_t> Joined(const std::vector<rr::Entry>& entries) {
  std::vector<std::uint8_t> area;
  for (const auto& e : entries) {
    EXPECT_LE(e.size(), rr::kMaxEntry);
    EXPECT_EQ(static_cast<std::uint8_t>(e[2]), e.size());
    area.insert(area.end(), e.begin(), e.end());
  }
  return area;
}

TEST(RockRidgeEntries, LongNamesAndLinksComeBackWholeFromTheirPieces) {
  const std::string c255(255, 'c');
  for (const std::string& name : {std::string("a"), std::string(250, 'n'), std::string(251, 'n'), c255}) {
    std::vector<rr::Entry> entries;
    rr::AppendNM(entries, name);
    rr::TAttributes a;
    rr::TContinuation next;
    ASSERT_TRUE(rr::ParseArea(Joined(entries), a, next));
    EXPECT_EQ(a.name, name);
  }
  for (const std::string& target :
       {std::string("/"), std::string("/usr/./lib"), std::string("../a/../b"), std::string("plain"),
        "x/" + c255 + "/" + c255, "/" + c255 + "/" + c255 + "/" + c255 + "/" + std::string(200, 'd')}) {
    std::vector<rr::Entry> entries;
    rr::AppendSL(entries, target);
    rr::TAttributes a;
    rr::TContinuation next;
    ASSERT_TRUE(rr::ParseArea(Joined(entries), a, next)) << target;
    EXPECT_TRUE(a.isLink);
    EXPECT_EQ(a.linkTarget, target);
  }
}

TEST(RockRidgeEntries, TimesKeepTheSecondUnderEveryZone) {
  const std::time_t t = 1580702706;  // 2020-02-03 04:05:06 UTC
  for (const std::int8_t zone : {std::int8_t{-48}, std::int8_t{0}, std::int8_t{4}, std::int8_t{52}}) {
    const rr::Entry tf = rr::TF(t, t + 1, t - 86400 * 400, zone);
    rr::TAttributes a;
    rr::TContinuation next;
    ASSERT_TRUE(rr::ParseArea(Joined({tf}), a, next));
    EXPECT_EQ(a.modified, t) << int{zone};
    EXPECT_EQ(a.accessed, t + 1);
    EXPECT_EQ(a.changed, t - 86400 * 400);
  }
}

TEST(RockRidgeEntries, MalformedAreasEndWithoutReadingPastThem) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
  } cases[] = {
      {"entry length below 4", {'P', 'X', 3, 1, 0, 0}},
      {"entry longer than the area", {'N', 'M', 40, 1, 0, 'a', 'b'}},
      {"link component longer than its entry", {'S', 'L', 9, 1, 0, 0, 200, 'a', 'b'}},
      {"dates cut short", {'T', 'F', 12, 1, 0x0E, 120, 1, 1, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    rr::TAttributes a;
    rr::TContinuation next;
    EXPECT_FALSE(rr::ParseArea(c.bytes, a, next)) << c.what;
  }
}

// Every ISO 9660 record's Rock Ridge name, read back through its
// continuation areas, which must lie where the layout put them.
std::map<std::string, std::string> NamesOfRoot(const TZCDBurner& b) {
  const TLayout& L = b.Layout();
  const auto& meta = b.Metadata();
  std::map<std::string, std::string> names;  // ISO identifier -> Rock Ridge name
  const TDEntry& root = *b.RootDir();
  const std::size_t base = static_cast<std::size_t>(L.IsoDirArea - L.StartAddress) * kSectorSize;
  for (std::size_t pos = 0; pos < static_cast<std::size_t>(root.IsoExtentSize);) {
    const std::uint8_t* p = meta.data() + base + pos;
    if (p[0] == 0) {
      pos = (pos / kSectorSize + 1) * kSectorSize;
      continue;
    }
    EXPECT_EQ(p[0] % 2, 0) << "odd record length at " << pos;
    const std::size_t idEnd = 33 + p[32] + (p[32] % 2 == 0 ? 1 : 0);
    rr::TAttributes a;
    rr::TContinuation next;
    EXPECT_TRUE(rr::ParseArea({p + idEnd, p + p[0]}, a, next));
    for (int hops = 0; next.length != 0 && hops < 4; ++hops) {
      EXPECT_GE(next.block, L.RockRidgeArea);
      EXPECT_LT(next.block, L.RockRidgeArea + L.RockRidgeSectors);
      EXPECT_LE(next.offset + next.length, kSectorSize);
      const std::uint8_t* c = meta.data() + static_cast<std::size_t>(next.block - L.StartAddress) * kSectorSize + next.offset;
      const std::uint32_t length = next.length;
      next = {};
      EXPECT_TRUE(rr::ParseArea({c, c + length}, a, next));
    }
    names[std::string(reinterpret_cast<const char*>(p + 33), p[32])] = a.name;
    pos += p[0];
  }
  return names;
}

TEST(RockRidgeLayout, SystemUseAndContinuationAreasAreLaidOutAndCounted) {
  ScratchDir dir("rrlayout");
  std::vector<std::string> given;
  for (int i = 0; i < 40; ++i) given.push_back(std::to_string(i) + std::string(200 + i, 'N') + ".Txt");
  given.push_back("Short.txt");
  std::uint32_t sectors[2] = {};  // metadata ends (the files follow)
  for (const bool rockRidge : {false, true}) {
    TZCDBurner b;
    b.RockRidge = rockRidge;
    for (const auto& name : given) ASSERT_EQ(b.AddFile("\\", dir.File(name, name), false), 1) << name;
    ASSERT_TRUE(b.BuildLayout(true, nullptr));
    ASSERT_TRUE(b.BuildMetadata(true, nullptr));
    sectors[rockRidge] = b.Layout().MetadataEnd;
    const TLayout& L = b.Layout();
    if (!rockRidge) {
      EXPECT_EQ(L.RockRidgeSectors, 0u);
      continue;
    }
    // 41 records of about 150 bytes (one sector without Rock Ridge); 40 names need a
    // continuation area each (over 240 bytes with PX and TF).
    EXPECT_GE(b.RootDir()->IsoExtentSize, 3 * kSectorSize);
    EXPECT_GE(L.RockRidgeSectors, 3u);
    EXPECT_EQ(L.RockRidgeArea, L.IsoDirArea + L.IsoDirSectors);
    EXPECT_LE(L.RockRidgeArea + L.RockRidgeSectors, L.MetadataEnd);
    const auto names = NamesOfRoot(b);
    std::set<std::string> got;
    for (const auto& [iso, name] : names) got.insert(name);
    for (const auto& name : given) EXPECT_TRUE(got.count(name)) << name;
  }
  EXPECT_GT(sectors[1], sectors[0]);
}

}  // namespace
}  // namespace velloran::image
