// Verification end to end: a burn with Verify set reads its session back
// from the virtual recorder and must pass on a sound disc, and name the
// right file, in both name spaces, when the recorder damages a sector, when
// a sector cannot be read, or when a source changed while it was burned.
#include "drive/mmc_reply.h"
#include "image/zbCDBC.h"
#include "platform/synchronizer.h"
#include "recording/zbWrite.h"
#include "session/session_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

namespace velloran {
namespace {

namespace fs = std::filesystem;
using image::TVerifyMismatch;
using image::TVerifyProblem;
using vrec::MediumKind;

void WriteFile(const fs::path& path, std::size_t size, unsigned seed) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  std::mt19937 rng(seed);
  std::string data(size, '\0');
  for (auto& c : data) c = static_cast<char>(rng());
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

class VerifyTest : public session::testing::BurnerTest {
 protected:
  void SetUp() override {
    BurnerTest::SetUp();
    burner_->SetSynchronizer(&sync_);
    burner_->OnWriteDone = [this](drive::TObject*, const std::string& error) {
      error_ = error;
      done_ = true;
    };
    burner_->OnVerifyDone = [this](drive::TObject*, const std::vector<TVerifyMismatch>& m) {
      mismatches_ = m;
      ++verifyDone_;
    };
    burner_->OnVerifyProgress = [this](drive::TObject*, std::int64_t done, std::int64_t total) {
      EXPECT_LE(done, total);
      lastProgress_ = {done, total};
    };
    burner_->Verify = true;
    source_ = dir_ / "source";
    // Nested folders, names that only Joliet keeps, and sizes around the
    // sector and block boundaries.
    WriteFile(source_ / "readme.txt", 1, 1);
    WriteFile(source_ / "Café crème" / "Ünïcödé naïve.bin", 70000, 2);
    WriteFile(source_ / "Café crème" / "deeper" / "still deeper" / "tiny.bin", 2049, 3);
    WriteFile(source_ / "Café crème" / "deeper" / "empty", 0, 4);
    WriteFile(source_ / "large.dat", 300000, 5);
    fs::create_directories(source_ / "empty folder");
  }

  void TearDown() override {
    if (burner_) burner_->SetSynchronizer(nullptr);
    BurnerTest::TearDown();
  }

  void AddSource() {
    ASSERT_NE(burner_->AddFolder(burner_->RootDir(), source_.string(), false, false, true, 63, "*.*"), -1);
  }

  bool Run(const std::function<bool()>& start) {
    done_ = false;
    error_.clear();
    mismatches_.clear();
    verifyDone_ = 0;
    const bool started = start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (started && !done_ && std::chrono::steady_clock::now() < deadline) sync_.WaitAndProcess(20);
    EXPECT_TRUE(!started || done_) << "the job did not end";
    burner_->Jobs().WaitFor();
    return started;
  }

  // The absolute sector where the data of the file at this compilation
  // path will lie in the next burn.
  std::uint32_t PlannedLba(const std::string& dir, const std::string& name) {
    burner_->RequestNextWritableAddress = true;
    burner_->BuildLayout(false, burner_->RootDir());
    burner_->RequestNextWritableAddress = false;
    const image::TFEntry* f = burner_->FindFile(burner_->FindDir(dir), name);
    EXPECT_NE(f, nullptr) << dir << " " << name;
    return f ? burner_->Layout().FirstFile + static_cast<std::uint32_t>(f->Extent) : 0;
  }

  fs::path source_;
  platform::QueueSynchronizer sync_;
  bool done_ = false;
  std::string error_;
  std::vector<TVerifyMismatch> mismatches_;
  int verifyDone_ = 0;
  std::pair<std::int64_t, std::int64_t> lastProgress_{-1, -1};
};

class VerifyEveryKind : public VerifyTest, public ::testing::WithParamInterface<MediumKind> {};

TEST_P(VerifyEveryKind, CleanBurnVerifies) {
  Insert(GetParam());
  AddSource();
  ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
  EXPECT_EQ(error_, "");
  EXPECT_EQ(verifyDone_, 1);
  for (const auto& m : mismatches_) ADD_FAILURE() << image::MismatchLine(m);
  // Every byte of the new files was read back through the drive.
  EXPECT_GE(lastProgress_.first, 70000 + 300000 + 2049 + 1);
  EXPECT_EQ(lastProgress_.first, lastProgress_.second);
  EXPECT_FALSE(Sent(0x28).empty());
}

INSTANTIATE_TEST_SUITE_P(Media, VerifyEveryKind,
                         ::testing::Values(MediumKind::CdR, MediumKind::CdRw, MediumKind::DvdR,
                                           MediumKind::DvdRwSequential, MediumKind::DvdRwRestricted,
                                           MediumKind::DvdPlusR, MediumKind::DvdPlusRDl, MediumKind::DvdPlusRw,
                                           MediumKind::DvdRam));

// The recorder takes the data but keeps one sector damaged, or cannot read
// it back: the verification names that file alone, under both its names.
TEST_F(VerifyTest, DamagedOrUnreadableSectorNamesTheFile) {
  struct Case {
    MediumKind kind;
    bool unreadable;
  } cases[] = {{MediumKind::CdR, false}, {MediumKind::DvdPlusR, false}, {MediumKind::DvdPlusRw, false},
               {MediumKind::CdR, true},  {MediumKind::DvdPlusRw, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.kind)) + (c.unreadable ? " unreadable" : " corrupt"));
    Insert(c.kind);
    burner_->ResetCompilation(65535, 8191);
    AddSource();
    const std::uint32_t lba = PlannedLba("\\Café crème", "Ünïcödé naïve.bin") + 20;  // its 21st sector
    std::string why;
    ASSERT_TRUE(c.unreadable ? recorder_->SetReadError(lba, &why) : recorder_->SetCorrupt(lba, &why)) << why;
    ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
    EXPECT_EQ(error_, "VERIFICATION FAILED: 1 FILES DO NOT MATCH THE RECORDING");
    EXPECT_EQ(verifyDone_, 1);
    ASSERT_EQ(mismatches_.size(), 1u);
    const TVerifyMismatch& m = mismatches_[0];
    EXPECT_EQ(m.JolietPath, "Café crème/Ünïcödé naïve.bin");
    const image::TDEntry* dir = burner_->FindDir("\\Café crème");
    EXPECT_EQ(m.IsoPath, dir->IsoName + "/" + burner_->FindFile(dir, "Ünïcödé naïve.bin")->IsoName);
    EXPECT_EQ(m.Problem, c.unreadable ? TVerifyProblem::Unreadable : TVerifyProblem::ContentDiffers);
    if (c.unreadable) EXPECT_EQ(m.Text, "SECTOR " + std::to_string(lba) + " CANNOT BE READ");
    ASSERT_TRUE(recorder_->ClearFaults(&why)) << why;
  }
}

TEST_F(VerifyTest, SourceChangedDuringTheBurnIsReported) {
  Insert(MediumKind::CdR);
  AddSource();
  const fs::path changed = source_ / "readme.txt";
  // Rewritten with bytes of the same length while the disc is written:
  // whatever the cache read, the disc no longer holds the user's file.
  burner_->OnDebugMessage = [&](drive::TObject*, const std::string& text, std::uint8_t) {
    if (text.find("STARTING WRITE PROCESS") != std::string::npos) std::ofstream(changed, std::ios::binary) << "Z";
  };
  ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
  EXPECT_EQ(error_, "VERIFICATION FAILED: 1 FILES DO NOT MATCH THE RECORDING");
  ASSERT_EQ(mismatches_.size(), 1u);
  EXPECT_EQ(mismatches_[0].Problem, TVerifyProblem::SourceChanged);
  EXPECT_EQ(mismatches_[0].JolietPath, "readme.txt");
  EXPECT_EQ(mismatches_[0].IsoPath, "README.TXT");
  EXPECT_NE(mismatches_[0].Text.find(changed.string()), std::string::npos);
}

// An appended session: the files imported from the first session were not
// read by this burn; they are read back whole and must read without error.
TEST_F(VerifyTest, ImportedFilesMustReadBack) {
  Insert(MediumKind::CdR);
  Compile({{"first/one.bin", std::string(50000, '1')}});
  burner_->Verify = false;
  ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
  ASSERT_EQ(error_, "");
  burner_->Verify = true;
  const std::uint32_t oneLba = 150;  // the first session's only file, at the first file location
  Compile({{"second/two.bin", std::string(9000, '2')}}, 255);
  ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
  EXPECT_EQ(error_, "");
  for (const auto& m : mismatches_) ADD_FAILURE() << image::MismatchLine(m);

  Compile({{"third/three.bin", "3"}}, 255);
  std::string why;
  ASSERT_TRUE(recorder_->SetReadError(oneLba + 3, &why)) << why;
  ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
  ASSERT_EQ(mismatches_.size(), 1u) << error_;
  EXPECT_EQ(mismatches_[0].JolietPath, "first/one.bin");
  EXPECT_EQ(mismatches_[0].Problem, TVerifyProblem::Unreadable);
}

// An image burn is compared block for block; a damaged block names the
// file it belongs to.
TEST_F(VerifyTest, ImageBurnComparesEveryBlock) {
  AddSource();
  const fs::path image = dir_ / "made.iso";
  ASSERT_EQ(burner_->SaveImageFile(image.string(), true), 1);
  ASSERT_EQ(error_, "");
  const std::uint32_t lba = PlannedLba("\\", "large.dat") + 40;  // same layout from address 0
  for (const bool damage : {false, true}) {
    SCOPED_TRACE(damage);
    Insert(MediumKind::DvdPlusR);
    std::string why;
    if (damage) ASSERT_TRUE(recorder_->SetCorrupt(lba, &why)) << why;
    ASSERT_TRUE(Run([&] { return burner_->BurnImageFile(image.string()); }));
    EXPECT_EQ(verifyDone_, 1);
    if (!damage) {
      EXPECT_EQ(error_, "");
      for (const auto& m : mismatches_) ADD_FAILURE() << image::MismatchLine(m);
      continue;
    }
    ASSERT_EQ(mismatches_.size(), 1u) << error_;
    EXPECT_EQ(mismatches_[0].IsoPath, "LARGE.DAT");
    EXPECT_EQ(mismatches_[0].JolietPath, "large.dat");
    EXPECT_NE(mismatches_[0].Text.find("DIFFER FROM THE IMAGE"), std::string::npos) << mismatches_[0].Text;
    EXPECT_EQ(error_, "VERIFICATION FAILED: 1 FILES DO NOT MATCH THE RECORDING");
    ASSERT_TRUE(recorder_->ClearFaults(&why)) << why;
  }
}

// Verification is off by default and never runs for a test write.
TEST_F(VerifyTest, NoReadBackUnlessAskedAndRecorded) {
  EXPECT_FALSE(image::TZCDBurner().Verify);
  for (const bool test : {false, true}) {
    Insert(MediumKind::CdR);
    burner_->ResetCompilation(65535, 8191);
    AddSource();
    burner_->Verify = test;
    burner_->TestWrite = test;
    ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
    EXPECT_EQ(error_, "");
    EXPECT_EQ(verifyDone_, 0);
    EXPECT_TRUE(Sent(0x28).empty() || !test);
  }
}

// The disc in the drive checked against the folders it was burned from.
TEST_F(VerifyTest, DiscComparedWithFoldersOnDisk) {
  Insert(MediumKind::DvdPlusR);
  AddSource();
  burner_->Verify = false;
  ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
  ASSERT_EQ(error_, "");
  auto verify = [&] {
    burner_->ResetCompilation(65535, 8191);
    AddSource();
    return Run([&] { return burner_->VerifyDisc(255); });
  };
  ASSERT_TRUE(verify());
  EXPECT_EQ(error_, "");
  for (const auto& m : mismatches_) ADD_FAILURE() << image::MismatchLine(m);

  // The sources moved on: one changed, one added, one removed.
  std::ofstream(source_ / "large.dat", std::ios::binary | std::ios::in | std::ios::out) << "X";
  WriteFile(source_ / "new.txt", 10, 6);
  fs::remove(source_ / "Café crème" / "deeper" / "still deeper" / "tiny.bin");
  ASSERT_TRUE(verify());
  EXPECT_EQ(error_, "VERIFICATION FAILED: 3 FILES DO NOT MATCH THE RECORDING");
  std::map<std::string, TVerifyProblem> seen;
  for (const auto& m : mismatches_) seen[m.JolietPath.empty() ? "iso:" + m.IsoPath : m.JolietPath] = m.Problem;
  EXPECT_EQ(seen["large.dat"], TVerifyProblem::ContentDiffers);
  EXPECT_EQ(seen["new.txt"], TVerifyProblem::Missing);
  EXPECT_EQ(seen["Café crème/deeper/still deeper/tiny.bin"], TVerifyProblem::NotExpected);
}

}  // namespace
}  // namespace velloran
