// Multi-session burning on the virtual recorder, on every writable kind:
// each new session imports the last one and adds files; independent readers
// (xorriso, isoinfo, pycdlib, and 7-Zip where the newest file system starts
// at 0) then see every file of every session through the newest one, and
// the old files still point into the sessions that recorded them.
#include "session/session_harness.h"

#include "drive/mmc_reply.h"
#include "image/session_import.h"

#include <fstream>

namespace velloran::session::testing {
namespace {

using vrec::MediumKind;

struct MediumCase {
  const char* name;
  MediumKind kind;
  bool overwritable;  // one track from 0; the descriptors at 16 follow the newest session
  bool finalizable;
};

// Reads sectors of an image file (the exported disc).
image::SectorReader ImageReader(const std::string& path) {
  auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
  return [in](std::uint32_t lba, std::uint8_t* sector) {
    in->clear();
    in->seekg(static_cast<std::streamoff>(lba) * 2048);
    in->read(reinterpret_cast<char*>(sector), 2048);
    return in->gcount() == 2048;
  };
}

class MultiSession : public BurnerTest, public ::testing::WithParamInterface<MediumCase> {};

TEST_P(MultiSession, EverySessionImportsTheLastAndKeepsItsFiles) {
  const MediumCase& m = GetParam();
  Insert(m.kind);
  auto& b = *burner_;
  const std::string big(300000, 'B');

  Compile({{"a.txt", "alpha"}, {"docs/big.bin", big}});
  ASSERT_EQ(Burn(), "");
  Compile({{"b.txt", "bravo"}}, 255);
  ASSERT_EQ(Burn(), "");
  // The new a.txt replaces the one of session 1 in the newest session.
  Compile({{"c.txt", "charlie"}, {"docs/a.txt", "alpha in docs"}, {"a.txt", "alpha v3"}}, 255);
  ASSERT_EQ(Burn(), "");

  const vrec::RecorderStatus s = Status();
  std::vector<std::uint32_t> starts;  // first block of each session
  for (const auto& t : s.tracks)
    if (t.state == "complete" && (starts.size() < static_cast<std::size_t>(t.session)))
      starts.push_back(t.start);
  if (m.overwritable) {
    EXPECT_EQ(b.GetSessionCount(), 1);
  } else {
    ASSERT_EQ(starts.size(), 3u) << "three closed sessions";
    EXPECT_EQ(b.GetSessionCount(), 3);
    EXPECT_EQ(s.completeSessions, 3);
  }

  const std::map<std::string, std::string> all = {{"a.txt", "alpha v3"},
                                                  {"b.txt", "bravo"},
                                                  {"c.txt", "charlie"},
                                                  {"docs/a.txt", "alpha in docs"},
                                                  {"docs/big.bin", big}};
  const std::string image = Export();
  const std::uint32_t newest = m.overwritable ? 0 : starts.back();
  EXPECT_EQ(CheckImage(image, all, newest, "xorriso,isoinfo,7z,pycdlib"), "");

  // Where the files of the newest session point.
  image::Compilation tree;
  std::vector<std::string> errors;
  image::TSessionImporter reader(tree, ImageReader(image), [&](const std::string& text, std::uint8_t) {
    errors.push_back(text);
  });
  ASSERT_TRUE(reader.ImportFrom(newest, 3, nullptr));
  EXPECT_TRUE(errors.empty()) << errors.front();
  auto extentOf = [&](const std::string& dir, const std::string& name) -> std::int64_t {
    const image::TFEntry* f = tree.FindFile(tree.FindDir(dir), name);
    return f ? f->Extent : -1;
  };
  if (!m.overwritable) {
    EXPECT_GE(extentOf("\\DOCS", "big.bin"), starts[0]);
    EXPECT_LT(extentOf("\\DOCS", "big.bin"), starts[1]) << "big.bin stays in session 1";
    EXPECT_GE(extentOf("\\", "b.txt"), starts[1]);
    EXPECT_LT(extentOf("\\", "b.txt"), starts[2]) << "b.txt stays in session 2";
    EXPECT_GE(extentOf("\\", "a.txt"), starts[2]) << "the new a.txt lies in session 3";
  } else {
    // Earlier data is never written again: big.bin still lies where
    // session 1 put it, below everything written later.
    EXPECT_LT(extentOf("\\DOCS", "big.bin"), extentOf("\\", "b.txt"));
    EXPECT_LT(extentOf("\\", "b.txt"), extentOf("\\", "c.txt"));
  }
}

INSTANTIATE_TEST_SUITE_P(Media, MultiSession,
                         ::testing::Values(MediumCase{"CdR", MediumKind::CdR, false, true},
                                           MediumCase{"CdRw", MediumKind::CdRw, false, true},
                                           MediumCase{"DvdPlusR", MediumKind::DvdPlusR, false, true},
                                           MediumCase{"DvdPlusRDl", MediumKind::DvdPlusRDl, false, true},
                                           MediumCase{"DvdMinusR", MediumKind::DvdR, false, true},
                                           MediumCase{"DvdPlusRw", MediumKind::DvdPlusRw, true, false},
                                           MediumCase{"DvdMinusRw", MediumKind::DvdRwSequential, true, false},
                                           MediumCase{"DvdMinusRwRestricted", MediumKind::DvdRwRestricted, true,
                                                      false},
                                           MediumCase{"DvdRam", MediumKind::DvdRam, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velloran::session::testing
