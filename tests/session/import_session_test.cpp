// The component's ImportSession against discs burned on the virtual
// recorder: which session a number names, what a blank disc gives, and
// closing the disc.
#include "session/session_harness.h"

#include "drive/byte_order.h"
#include "drive/mmc_reply.h"

#include <fstream>
#include <set>

namespace velloran::session::testing {
namespace {

using vrec::MediumKind;

class ImportSessionTest : public BurnerTest {
 protected:
  // Three sessions, each with one file of its own (and nothing imported).
  void BurnThree(MediumKind kind) {
    Insert(kind);
    for (int n = 1; n <= 3; ++n) {
      Compile({{"s" + std::to_string(n) + ".txt", "session " + std::to_string(n)}});
      ASSERT_EQ(Burn(), "") << "session " << n;
    }
  }
  std::vector<std::string> RootFiles() {
    std::vector<std::string> names;
    for (auto* f = burner_->RootDir()->FirstChild; f; f = f->Next) names.push_back(f->JolietName);
    return names;
  }
};

TEST_F(ImportSessionTest, NumberChoosesTheSession) {
  BurnThree(MediumKind::CdR);
  auto& b = *burner_;
  ASSERT_EQ(b.GetSessionCount(), 3);
  const struct {
    std::uint8_t asked;
    const char* file;
    int reported;
  } rows[] = {{255, "s3.txt", 3}, {1, "s1.txt", 1}, {2, "s2.txt", 2}, {3, "s3.txt", 3}, {9, "s3.txt", 3}};
  for (const auto& row : rows) {
    b.ResetCompilation(65535, 8191);
    messages_.clear();
    ASSERT_TRUE(b.ImportSession(row.asked, nullptr)) << int{row.asked};
    EXPECT_EQ(RootFiles(), std::vector<std::string>{row.file}) << int{row.asked};
    const auto progress = Messages(1);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front().text, ">>> IMPORTING SESSION # " + std::to_string(row.reported));
    EXPECT_TRUE(Messages(4).empty());
  }
  b.ResetCompilation(65535, 8191);
  EXPECT_FALSE(b.ImportSession(0, nullptr));
  EXPECT_EQ(b.FileCount(), 0);
}

// A drive that is becoming ready, or still ending a close, refuses reads
// with NOT READY for a while. Such a refusal is waited out and the read
// asked again: taken as an unreadable sector, it would pass over the newest
// session for an older one, or drop files from the import.
TEST_F(ImportSessionTest, ReadsRefusedWhileTheDriveBecomesReadyAreAskedAgain) {
  BurnThree(MediumKind::CdR);
  auto& b = *burner_;
  // The first READ of every sector meets a drive becoming ready.
  auto refused = std::make_shared<std::set<std::uint32_t>>();
  transport_.intercept = [refused](SRB_ExecSCSICmd& srb) {
    if (srb.CDBByte[0] != 0x28 || !refused->insert(be::load32(&srb.CDBByte[2])).second) return false;
    drive::testing::FailRequest(srb, 0x02, 0x04, 0x01);
    return true;
  };
  b.ResetCompilation(65535, 8191);
  ASSERT_TRUE(b.ImportSession(255, nullptr));
  transport_.intercept = nullptr;
  EXPECT_EQ(RootFiles(), std::vector<std::string>{"s3.txt"});
  EXPECT_TRUE(Messages(4).empty()) << Messages(4).front().text;
  EXPECT_GE(refused->size(), 3u) << "the descriptors and the root folder were refused once each";
}

TEST_F(ImportSessionTest, DirectoryExtentsReadFromTheDrive) {
  BurnThree(MediumKind::CdR);
  auto& b = *burner_;
  // Session 1 starts at 0: its primary descriptor at 16, the Joliet one at 17.
  alignas(8) std::array<std::uint8_t, 2048> pvd{}, svd{};
  ASSERT_TRUE(b.Read10(16, 1, 2048, pvd.data()));
  ASSERT_TRUE(b.Read10(17, 1, 2048, svd.data()));
  ASSERT_EQ(pvd[0], 1);
  ASSERT_EQ(svd[0], 2);
  b.ResetCompilation(65535, 8191);
  EXPECT_TRUE(b.ImportIsoDir(le::load32(&pvd[158]), le::load32(&pvd[166]), nullptr));
  EXPECT_NE(b.FindFile(b.RootDir(), "S1.TXT"), nullptr);
  b.ResetCompilation(65535, 8191);
  EXPECT_TRUE(b.ImportJolietDir(le::load32(&svd[158]), le::load32(&svd[166]), nullptr));
  EXPECT_NE(b.FindFile(b.RootDir(), "s1.txt"), nullptr);
  EXPECT_FALSE(b.ImportJolietDir(le::load32(&svd[158]), 0, nullptr)) << "an empty extent";
}

TEST_F(ImportSessionTest, IntoAChosenFolder) {
  BurnThree(MediumKind::DvdPlusR);
  auto& b = *burner_;
  b.ResetCompilation(65535, 8191);
  image::TDEntry* old = b.ForceDirs("\\old");
  ASSERT_TRUE(b.ImportSession(2, old));
  EXPECT_NE(b.FindFile(b.FindDir("\\OLD"), "s2.txt"), nullptr);
  EXPECT_EQ(b.FindFile(b.RootDir(), "s2.txt"), nullptr);
}

TEST_F(ImportSessionTest, BlankDiscHasNothingToImport) {
  Insert(MediumKind::CdR);
  EXPECT_EQ(burner_->GetSessionCount(), 0);
  EXPECT_FALSE(burner_->ImportSession(255, nullptr));
  EXPECT_TRUE(Messages(1).empty()) << "no message for a blank disc";
  EXPECT_TRUE(Messages(4).empty());
}

TEST_F(ImportSessionTest, LayoutImportsOnceAndKeepsNewFilesFirst) {
  BurnThree(MediumKind::CdR);
  auto& b = *burner_;
  Compile({{"s2.txt", "new content"}}, 2);
  b.RequestNextWritableAddress = true;
  ASSERT_TRUE(b.BuildLayout(false, b.RootDir()));
  ASSERT_TRUE(b.BuildLayout(false, b.RootDir())) << "a second build imports again";
  b.RequestNextWritableAddress = false;
  EXPECT_EQ(b.FileCount(), 1) << "the new s2.txt wins; nothing is doubled";
  const image::TFEntry* f = b.FindFile(b.RootDir(), "s2.txt");
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(f->Imported);
}

// A finalized disc takes nothing more.
class Finalize : public ImportSessionTest, public ::testing::WithParamInterface<MediumKind> {};

TEST_P(Finalize, ClosesTheDisc) {
  Insert(GetParam());
  auto& b = *burner_;
  Compile({{"one.txt", "1"}});
  ASSERT_EQ(Burn(), "");
  Compile({{"two.txt", "2"}}, 255);
  b.FinalizeDisc = true;
  ASSERT_EQ(Burn(), "");
  b.FinalizeDisc = false;
  const vrec::RecorderStatus s = Status();
  EXPECT_EQ(s.discStatus, "complete");
  EXPECT_EQ(b.GetDiscStatus(), 2);
  // Both sessions stay readable.
  b.ResetCompilation(65535, 8191);
  ASSERT_TRUE(b.ImportSession(255, nullptr));
  EXPECT_NE(b.FindFile(b.RootDir(), "one.txt"), nullptr);
  EXPECT_NE(b.FindFile(b.RootDir(), "two.txt"), nullptr);
  // The drive refuses to write more.
  Compile({{"three.txt", "3"}});
  EXPECT_NE(Burn(), "");
  EXPECT_EQ(Status().tracks.size(), s.tracks.size());
}

INSTANTIATE_TEST_SUITE_P(Media, Finalize, ::testing::Values(MediumKind::CdR, MediumKind::DvdPlusR, MediumKind::DvdR),
                         [](const auto& info) {
                           return std::string(info.param == MediumKind::CdR        ? "CdR"
                                              : info.param == MediumKind::DvdPlusR ? "DvdPlusR"
                                                                                   : "DvdMinusR");
                         });

TEST_F(ImportSessionTest, DescriptorsAtZeroOfDvdPlusRwDescribeTheNewestSession) {
  Insert(MediumKind::DvdPlusRw, vrec::InsertOptions{.formatted = true});
  auto& b = *burner_;
  Compile({{"one.txt", std::string(5000, '1')}});
  ASSERT_EQ(Burn(), "");
  const std::uint32_t firstEnd = b.VolumeSpaceSize();
  EXPECT_GE(firstEnd, 150u + 3) << "the first session's volume ends after its files";
  Compile({{"two.txt", "2"}}, 255);
  ASSERT_EQ(Burn(), "");
  const std::uint32_t secondStart = b.Layout().StartAddress;
  const std::uint32_t secondEnd = static_cast<std::uint32_t>(b.Layout().VolumeSize);
  EXPECT_EQ(secondStart, firstEnd) << "the second session follows the first";
  const std::string image = Export();
  std::ifstream in(image, std::ios::binary);
  std::vector<std::uint8_t> pvd(2048);
  in.seekg(16 * 2048);
  in.read(reinterpret_cast<char*>(pvd.data()), 2048);
  ASSERT_EQ(pvd[0], 1);
  EXPECT_EQ(le::load32(&pvd[80]), secondEnd) << "volume space size of the newest session";
  EXPECT_GE(le::load32(&pvd[158]), secondStart) << "root directory of the newest session";
}

}  // namespace
}  // namespace velloran::session::testing
