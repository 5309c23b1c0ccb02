// Recording end to end: the burner component burns, saves and aborts against
// the virtual recorder, and what it recorded is read back by readers no one
// here wrote (tests/tools/check_image.py: xorriso, isoinfo, 7-Zip, pycdlib)
// and compared with the source files.
#include "drive/mmc_reply.h"
#include "image/zbCDBC.h"
#include "platform/synchronizer.h"
#include "recording/zbWrite.h"
#include "session/session_harness.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace velloran {
namespace {

namespace fs = std::filesystem;
using vrec::MediumKind;

void WriteFile(const fs::path& path, std::size_t size, unsigned seed) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  std::mt19937 rng(seed);
  std::string data(size, '\0');
  for (auto& c : data) c = static_cast<char>(rng());
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

int RunChecker(const fs::path& image, const fs::path& source, const std::string& readers = "xorriso,isoinfo,7z,pycdlib") {
  std::string cmd = std::string("/usr/bin/python3 ") + VELLORAN_SOURCE_DIR + "/tests/tools/check_image.py '" +
                    image.string() + "' '" + source.string() + "' --readers " + readers;
  return std::system(cmd.c_str());
}

// The burner on the session suite's recorder test bed, with OnWriteDone
// delivered through a synchroniser whose owner loop the test runs, as the
// programs do.
class BurnTest : public session::testing::BurnerTest {
 protected:
  void SetUp() override {
    BurnerTest::SetUp();
    burner_->SetSynchronizer(&sync_);
    burner_->OnWriteDone = [this](drive::TObject*, const std::string& error) {
      error_ = error;
      done_ = true;
    };
    source_ = dir_ / "source";
    WriteFile(source_ / "readme.txt", 1, 1);
    WriteFile(source_ / "data" / "photo one.jpg", 70000, 2);
    WriteFile(source_ / "data" / "deeper" / "tiny.bin", 2049, 3);
    WriteFile(source_ / "data" / "deeper" / "empty", 0, 4);
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

  // Starts a job and runs the owner's loop until OnWriteDone. Returns
  // whether the job started (one that fails while preparing has run
  // OnWriteDone already).
  bool Run(const std::function<bool()>& start, int timeoutSeconds = 60) {
    done_ = false;
    error_.clear();
    const bool started = start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (started && !done_ && std::chrono::steady_clock::now() < deadline) sync_.WaitAndProcess(20);
    EXPECT_TRUE(!started || done_) << "the job did not end";
    burner_->Jobs().WaitFor();
    return started;
  }

  int Count(std::uint8_t opcode) const { return static_cast<int>(Sent(opcode).size()); }

  fs::path source_;
  platform::QueueSynchronizer sync_;
  bool done_ = false;
  std::string error_;
};

class BurnEveryKind : public BurnTest, public ::testing::WithParamInterface<MediumKind> {};

TEST_P(BurnEveryKind, RecordedDiscReadsBackAsTheSource) {
  Insert(GetParam());
  AddSource();
  ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
  ASSERT_EQ(error_, "");
  const auto status = Status();
  EXPECT_NE(status.discStatus, "blank");
  // One WRITE per cache block: 27 sectors on CDs, 32 on DVDs.
  const bool cd = GetParam() == MediumKind::CdR || GetParam() == MediumKind::CdRw;
  bool sawFullBlock = false;
  for (const auto& c : transport_.log)
    if (c.cdb[0] == 0x2A && c.cdb[2] == 0 && c.cdb[3] == 0 && c.cdb[4] == 0 && c.cdb[5] == 0) continue;
    else if (c.cdb[0] == 0x2A) sawFullBlock |= ((c.cdb[7] << 8) | c.cdb[8]) == (cd ? 27 : 32);
  EXPECT_TRUE(sawFullBlock);
  EXPECT_GE(burner_->BytesWritten(), 1);
  EXPECT_LE(burner_->BytesWritten(), burner_->ImageSectors() * 2048);
  EXPECT_EQ(RunChecker(Export(), source_), 0);
}

INSTANTIATE_TEST_SUITE_P(Media, BurnEveryKind,
                         ::testing::Values(MediumKind::CdR, MediumKind::CdRw, MediumKind::DvdR,
                                           MediumKind::DvdRwSequential, MediumKind::DvdRwRestricted,
                                           MediumKind::DvdPlusR, MediumKind::DvdPlusRDl, MediumKind::DvdPlusRw,
                                           MediumKind::DvdRam));

TEST_F(BurnTest, TestWriteLeavesTheDiscBlankAndClosesNothing) {
  Insert(MediumKind::CdR);
  AddSource();
  burner_->TestWrite = true;
  std::vector<std::string> log;
  burner_->OnDebugMessage = [&](drive::TObject*, const std::string& text, std::uint8_t) { log.push_back(text); };
  ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
  EXPECT_EQ(error_, "");
  EXPECT_EQ(Status().discStatus, "blank");
  EXPECT_EQ(Count(0x5B), 0);
  // The dummy-write line follows the start line.
  auto start = std::find_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.rfind(">>> STARTING WRITE PROCESS ON CD-R AT ", 0) == 0; });
  ASSERT_NE(start, log.end());
  ASSERT_NE(start + 1, log.end());
  EXPECT_EQ(*(start + 1), ">>> TEST/DUMMY WRITE");
}

TEST_F(BurnTest, ImageFileIsBurnedFromAddressZeroBlockForBlock) {
  Insert(MediumKind::DvdPlusR);
  const fs::path image = dir_ / "made.iso";
  const std::string cmd = "genisoimage -quiet -J -o '" + image.string() + "' '" + source_.string() + "'";
  if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "genisoimage is not installed";
  ASSERT_TRUE(Run([&] { return burner_->BurnImageFile(image.string()); }));
  ASSERT_EQ(error_, "");
  std::ifstream a(image, std::ios::binary), b(Export(), std::ios::binary);
  std::string want((std::istreambuf_iterator<char>(a)), {}), got((std::istreambuf_iterator<char>(b)), {});
  ASSERT_GE(got.size(), want.size());
  EXPECT_TRUE(got.compare(0, want.size(), want) == 0) << "the disc's blocks differ from the image";
}

TEST_F(BurnTest, MissingImageFileEndsAtOnceWithTheOpenMessage) {
  Insert(MediumKind::CdR);
  const std::string missing = (dir_ / "none.iso").string();
  int calls = 0;
  burner_->OnWriteDone = [&](drive::TObject*, const std::string& e) {
    error_ = e;
    ++calls;
  };
  EXPECT_FALSE(burner_->BurnImageFile(missing));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(error_, "CAN'T OPEN FILE \"" + missing + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
  burner_->OnWriteDone = nullptr;
  EXPECT_FALSE(burner_->BurnImageFile(missing));  // no handler, no call, still false
}

TEST_F(BurnTest, ThreadedAndDirectSavesHoldTheSameFiles) {
  AddSource();
  transport_.log.clear();
  const fs::path threaded = dir_ / "threaded.iso", direct = dir_ / "direct.iso";
  ASSERT_TRUE(Run([&] { return burner_->SaveImageFile(threaded.string(), false) == -1; }));
  ASSERT_EQ(error_, "");
  ASSERT_EQ(burner_->SaveImageFile(direct.string(), true), 1);
  EXPECT_EQ(RunChecker(threaded, source_), 0);
  EXPECT_EQ(RunChecker(direct, source_), 0);
  // Same layout: the file data from the first file location on is equal;
  // the threaded save only adds the minimum-track padding at the end.
  std::ifstream a(threaded, std::ios::binary), b(direct, std::ios::binary);
  std::string t((std::istreambuf_iterator<char>(a)), {}), d((std::istreambuf_iterator<char>(b)), {});
  const std::size_t first = std::size_t{burner_->Layout().FirstFile} * 2048;
  ASSERT_GE(t.size(), d.size());
  EXPECT_EQ(t.size(), std::max<std::size_t>(d.size(), 300 * 2048));
  EXPECT_TRUE(t.compare(first, d.size() - first, d, first, d.size() - first) == 0);
  EXPECT_EQ(t.find_first_not_of('\0', d.size()), std::string::npos);
  // A save never touches the drive.
  EXPECT_TRUE(transport_.log.empty());
}

TEST_F(BurnTest, ImageOfAnImportedSessionIsRefused) {
  Insert(MediumKind::CdR);
  AddSource();
  ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
  ASSERT_EQ(error_, "");
  burner_->ResetCompilation(65535, 8191);
  ASSERT_TRUE(burner_->ImportSession(255, nullptr));
  const fs::path threaded = dir_ / "threaded.iso", direct = dir_ / "direct.iso";
  Run([&] { return burner_->SaveImageFile(threaded.string(), false) == -1; });
  EXPECT_EQ(error_, "AN IMAGE FILE CANNOT HOLD FILES IMPORTED FROM A DISC SESSION: THEIR DATA IS ON THE DISC");
  EXPECT_EQ(burner_->SaveImageFile(direct.string(), true), 0);
  EXPECT_EQ(error_, "AN IMAGE FILE CANNOT HOLD FILES IMPORTED FROM A DISC SESSION: THEIR DATA IS ON THE DISC");
  EXPECT_FALSE(fs::exists(threaded));
  EXPECT_FALSE(fs::exists(direct));
}

TEST_F(BurnTest, AbortMidBurnEndsWithoutClosing) {
  Insert(MediumKind::CdR);
  WriteFile(source_ / "big.bin", 8 << 20, 9);
  AddSource();
  std::string why;
  ASSERT_TRUE(recorder_->SetSlow(5, &why)) << why;  // each command takes a while
  int finalizing = 0;
  burner_->OnFinalizingTrack = [&](drive::TObject*) { ++finalizing; };
  ASSERT_TRUE(Run([&] {
    if (!burner_->BurnCompilation()) return false;
    while (burner_->BytesWritten() == 0 && burner_->Writing())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    burner_->Abort();
    return true;
  }));
  EXPECT_EQ(error_, "OPERATION ABORTED BY USER");
  EXPECT_EQ(Count(0x5B), 0);  // no close
  EXPECT_EQ(finalizing, 1);   // but the finalizing event still fires
  EXPECT_LT(burner_->BytesWritten(), 8 << 20);
}

TEST_F(BurnTest, WriteFailureNamesTheDrivesSense) {
  Insert(MediumKind::CdR);
  AddSource();
  std::string why;
  ASSERT_TRUE(recorder_->SetWriteError(100, 0x03, 0x0C, 0x00, &why)) << why;  // MEDIUM ERROR, WRITE ERROR
  ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
  EXPECT_EQ(error_.rfind("WRITER ERROR [MEDIUM ERROR", 0), 0u) << error_;
  EXPECT_EQ(Count(0x5B), 0);
}

TEST_F(BurnTest, SourceFileGoneOrShrunkEndsWithItsName) {
  Insert(MediumKind::CdR);
  AddSource();
  const fs::path gone = source_ / "data" / "photo one.jpg";
  fs::remove(gone);
  // The job finds the missing file before anything is written, and ends
  // through the same OnWriteDone.
  Run([&] { return burner_->BurnCompilation(); });
  EXPECT_TRUE(done_);
  EXPECT_EQ(Count(0x2A), 0);  // nothing written
  EXPECT_EQ(error_, "CAN'T OPEN FILE \"" + gone.string() + "\" OR FILE IS IN USES BY OTHER SOFTWARE");

  // A file that became shorter: the save fails naming it, and no image is left.
  WriteFile(gone, 70000, 2);
  burner_->ResetCompilation(65535, 8191);
  AddSource();
  fs::resize_file(source_ / "large.dat", 1000);
  const fs::path out = dir_ / "short.iso";
  Run([&] { return burner_->SaveImageFile(out.string(), false) == -1; });
  EXPECT_TRUE(done_);
  EXPECT_NE(error_.find((source_ / "large.dat").string()), std::string::npos) << error_;
  EXPECT_FALSE(fs::exists(out));
}

// Every source file is opened and measured before the disc is touched: a
// write-once disc must not be spent on a burn that stops at the first bad
// file, and the user learns about every bad file at once.
TEST_F(BurnTest, BadSourceFilesAreListedBeforeTheDiscIsTouched) {
  for (const MediumKind kind : {MediumKind::CdR, MediumKind::DvdRwSequential}) {
    SCOPED_TRACE(static_cast<int>(kind));
    Insert(kind);
    burner_->ResetCompilation(65535, 8191);
    const fs::path bad = dir_ / ("bad" + std::to_string(static_cast<int>(kind)));
    struct Case {
      const char* name;
      std::function<void(const fs::path&)> spoil;
      const char* says;
    };
    std::vector<Case> cases = {
        {"gone.bin", [](const fs::path& p) { fs::remove(p); }, "CAN'T OPEN FILE"},
        {"now a folder", [](const fs::path& p) { fs::remove(p); fs::create_directory(p); }, "IS NOT A REGULAR FILE"},
        {"now a pipe", [](const fs::path& p) { fs::remove(p); ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         "IS NOT A REGULAR FILE"},
        {"shorter.txt", [](const fs::path& p) { fs::resize_file(p, 10); }, "BECAME SHORTER SINCE IT WAS ADDED"},
        {"longer.txt", [](const fs::path& p) { std::ofstream(p, std::ios::app) << "more"; },
         "BECAME LONGER SINCE IT WAS ADDED"},
    };
    // Permissions bind everyone but root.
    if (::geteuid() != 0)
      cases.push_back({"locked.bin", [](const fs::path& p) { fs::permissions(p, fs::perms::none); }, "CAN'T OPEN FILE"});
    for (const auto& c : cases) {
      WriteFile(bad / c.name, 5000, 11);
      ASSERT_EQ(burner_->AddFile("\\", (bad / c.name).string(), false), 1) << c.name;
    }
    WriteFile(bad / "fine.bin", 70000, 12);
    ASSERT_EQ(burner_->AddFile("\\", (bad / "fine.bin").string(), false), 1);
    for (const auto& c : cases) c.spoil(bad / c.name);

    EXPECT_FALSE(Run([&] { return burner_->BurnCompilation(); }));
    EXPECT_TRUE(done_);
    std::vector<std::string> lines;
    std::istringstream in(error_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), cases.size()) << error_;
    for (std::size_t i = 0; i < cases.size(); ++i) {
      EXPECT_NE(lines[i].find("\"" + (bad / cases[i].name).string() + "\""), std::string::npos) << lines[i];
      EXPECT_NE(lines[i].find(cases[i].says), std::string::npos) << lines[i];
    }
    // Nothing that changes a disc was sent: no format, reservation, write or close.
    for (const std::uint8_t opcode : {0x04, 0x53, 0x2A, 0x5B, 0xA1}) EXPECT_EQ(Count(opcode), 0) << int{opcode};
    EXPECT_EQ(Status().discStatus, "blank");
  }
}

TEST_F(BurnTest, SourceFileCutShortDuringTheBurnFailsIt) {
  Insert(MediumKind::CdR);
  // Larger than the cache: when the write thread starts, the cache is full
  // and the file is being read somewhere in its first megabytes.
  const fs::path victim = source_ / "big.bin";
  WriteFile(victim, 16 << 20, 9);
  AddSource();
  burner_->OnDebugMessage = [&](drive::TObject*, const std::string& text, std::uint8_t) {
    if (text.find("STARTING WRITE PROCESS") != std::string::npos) fs::resize_file(victim, 1 << 20);
  };
  ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
  EXPECT_EQ(error_, "FILE \"" + victim.string() + "\" BECAME SHORTER SINCE IT WAS ADDED");
  EXPECT_EQ(Count(0x5B), 0);  // the session is not closed over zeros
}

TEST_F(BurnTest, FullDiskRemovesTheUnfinishedImageAndKeepsTheOldOne) {
  AddSource();
  const fs::path out = dir_ / "out.iso";
  WriteFile(out, 5000, 7);  // an earlier image the user still has
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 256 * 1024;  // the image is larger than this
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool started = Run([&] { return burner_->SaveImageFile(out.string(), false) == -1; });
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  ASSERT_TRUE(started);
  EXPECT_NE(error_.find("ERROR WRITING FILE \"" + out.string() + "\""), std::string::npos) << error_;
  EXPECT_EQ(fs::file_size(out), 5000u);
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir_)) files += e.is_regular_file();
  EXPECT_EQ(files, 1) << "a partial image was left behind";
}

TEST_F(BurnTest, NoBurnWhileTheDriveErases) {
  Insert(MediumKind::CdRw);
  AddSource();
  ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
  ASSERT_EQ(error_, "");
  std::string why;
  ASSERT_TRUE(recorder_->SetSlow(20, &why)) << why;  // keep the erase going a while
  bool erased = false;
  burner_->OnEraseDone = [&](drive::TObject*, bool) { erased = true; };
  ASSERT_TRUE(burner_->Erase(1));
  EXPECT_FALSE(Run([&] { return burner_->BurnCompilation(); }));
  EXPECT_EQ(error_, "THE DRIVE IS ERASING A DISC; WAIT FOR THE ERASE TO END");
  while (!erased) sync_.WaitAndProcess(20);
}

TEST_F(BurnTest, CacheBlockSizeFollowsTheMedium) {
  for (MediumKind kind : {MediumKind::CdRw, MediumKind::DvdPlusRw}) {
    Insert(kind);
    burner_->ResetCompilation(65535, 8191);
    AddSource();
    ASSERT_TRUE(Run([&] { return burner_->BurnCompilation(); }));
    ASSERT_EQ(error_, "");
    int maxSectors = 0;
    for (const auto& c : transport_.log)
      if (c.cdb[0] == 0x2A) maxSectors = std::max(maxSectors, (c.cdb[7] << 8) | c.cdb[8]);
    EXPECT_EQ(maxSectors, kind == MediumKind::CdRw ? 27 : 32);
  }
}

}  // namespace
}  // namespace velloran
