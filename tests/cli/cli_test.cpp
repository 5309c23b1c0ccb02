// The command-line tool as a user runs it: a separate process, its output
// and its exit status.
#include "shell_run.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string output;  // stdout and stderr
};

Result Shell(const std::string& command) {
  velloran::test::ShellResult r = velloran::test::Shell(command);
  return Result{r.status, std::move(r.out)};
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velloran-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    env_ = "VELLORAN_RECORDER_DIR='" + (dir_ / "state").string() + "' ";
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Velloran() const { return env_ + std::string(VELLORAN_BIN_DIR) + "/velloran"; }

  fs::path dir_;
  std::string env_;
};

TEST_F(CliTest, DrivesWithoutAnyTransportSaysSoAndFails) {
  // A copy of the program with no library beside it (and none on the
  // loader's path): no drive node answers on this machine either.
  if (fs::exists("/dev/sr0")) GTEST_SKIP() << "this machine has an optical drive";
  const fs::path lonely = dir_ / "velloran";
  fs::copy_file(std::string(VELLORAN_BIN_DIR) + "/velloran", lonely);
  // A library planted in the working directory is never loaded: it would
  // run as the user.
  const fs::path cwd = dir_ / "downloads";
  fs::create_directories(cwd);
  fs::copy_file(std::string(VELLORAN_BIN_DIR) + "/wnaspi32.so", cwd / "wnaspi32.so");
  const Result r = Shell("cd '" + cwd.string() + "' && " + env_ + "LD_LIBRARY_PATH= '" + lonely.string() + "' drives");
  EXPECT_EQ(r.status, 4) << r.output;
  EXPECT_NE(r.output.find("no SCSI transport"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("wnaspi32.so"), std::string::npos) << r.output;
}

TEST_F(CliTest, DrivesFindsTheVirtualRecorderBesideTheProgram) {
  if (fs::exists("/dev/sr0")) GTEST_SKIP() << "this machine has an optical drive";
  const Result r = Shell(Velloran() + " drives");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Transport: WNASPI32.DLL"), std::string::npos) << r.output;
  // Adapter 0, target 0, LUN 0, no drive letter; vendor (8), product (16) and
  // revision (4) joined.
  EXPECT_NE(r.output.find("0:0:0,?: VELLORANVREC RECORDER 0 "), std::string::npos) << r.output;
}

TEST_F(CliTest, BurnAppendsAndRefusesWhatCannotBeDone) {
  const fs::path src = dir_ / "src";
  fs::create_directories(src / "sub");
  std::FILE* f = std::fopen((src / "sub" / "a.txt").c_str(), "w");
  std::fputs("hello", f);
  std::fclose(f);

  Result r = Shell(Velloran() + " burn '" + src.string() + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Operation process done successfully."), std::string::npos);

  r = Shell(Velloran() + " burn '" + (dir_ / "missing").string() + "'");
  EXPECT_EQ(r.status, 2) << r.output;
  EXPECT_NE(r.output.find("cannot find"), std::string::npos) << r.output;

  r = Shell(Velloran() + " burn --speed fast '" + src.string() + "'");
  EXPECT_EQ(r.status, 2) << r.output;

  // A finalized disc takes nothing more.
  r = Shell(Velloran() + " burn --finalize '" + src.string() + "'");
  ASSERT_EQ(r.status, 0) << r.output;
  r = Shell(Velloran() + " burn '" + src.string() + "'");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("closed"), std::string::npos) << r.output;

  // An image only goes to a blank disc; a pressed disc takes nothing.
  r = Shell(Velloran() + " burn-image '" + (src / "sub" / "a.txt").string() + "'");
  EXPECT_EQ(r.status, 1) << r.output;
}

TEST_F(CliTest, WriteErrorGivesTheDrivesTextAndExitCode) {
  const fs::path src = dir_ / "src";
  fs::create_directories(src);
  std::FILE* f = std::fopen((src / "big.bin").c_str(), "w");
  for (int i = 0; i < 200000; ++i) std::fputc(i & 0xFF, f);
  std::fclose(f);
  ASSERT_EQ(Shell(Velloran() + " recorder insert cd-r").status, 0);
  ASSERT_EQ(Shell(Velloran() + " recorder fault write-error 40").status, 0);
  const Result r = Shell(Velloran() + " burn '" + src.string() + "'");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("WRITER ERROR ["), std::string::npos) << r.output;
}

TEST_F(CliTest, FileSizeLimitIsAWriteErrorAndLeavesNoFile) {
  const fs::path src = dir_ / "src";
  fs::create_directories(src);
  std::FILE* f = std::fopen((src / "big.bin").c_str(), "w");
  for (int i = 0; i < (1 << 20); ++i) std::fputc(i & 0xFF, f);
  std::fclose(f);
  const fs::path out = dir_ / "out";
  fs::create_directories(out);
  // 200 blocks of the shell's ulimit unit: far less than the image.
  const Result r = Shell("ulimit -f 200; " + Velloran() + " save-iso '" + (out / "x.iso").string() + "' '" +
                         src.string() + "'");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("ERROR WRITING FILE"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("File too large"), std::string::npos) << r.output;
  EXPECT_TRUE(fs::is_empty(out)) << "no image and no temporary file left";
}

TEST_F(CliTest, InterruptWhileTheDiscIsFormattedEndsWithinSeconds) {
  const fs::path src = dir_ / "src";
  fs::create_directories(src);
  std::FILE* f = std::fopen((src / "a.txt").c_str(), "w");
  std::fputs("alpha", f);
  std::fclose(f);
  // A blank DVD-RW is quick formatted first: a minute on a real drive.
  ASSERT_EQ(Shell(Velloran() + " recorder insert dvd-rw").status, 0);
  ASSERT_EQ(Shell(Velloran() + " recorder realtime on").status, 0);
  const std::string script = "( " + Velloran() + " burn '" + src.string() + "' & pid=$!; " + "until " +
                             Velloran() + " recorder status | grep -q busy; do sleep 0.1; done; " +
                             "kill -INT $pid; wait $pid; echo exit=$? )";
  const auto start = std::chrono::steady_clock::now();
  const Result r = Shell(script);
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_NE(r.output.find("exit=3"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Operation canceled by user"), std::string::npos) << r.output;
  EXPECT_LT(seconds, 20) << "the format alone takes 60 s";
}

TEST_F(CliTest, RecorderServeRefusesWhatItCannotServe) {
  struct Row {
    const char* args;
    int status;
    const char* says;
  };
  for (const Row& row : {Row{"--listen 127.0.0.1:99999", 2, "--listen takes ADDR:PORT"},
                         Row{"--listen localhost:3260", 1, "is not a numeric IP address"},
                         Row{"--chap burner", 2, "--chap needs the secret in VELLORAN_CHAP_SECRET"}}) {
    // A serve that starts after all would run until killed: 10 s at most.
    const Result r = Shell(env_ + "timeout 10 " + VELLORAN_BIN_DIR + "/velloran recorder serve " + row.args);
    EXPECT_EQ(r.status, row.status) << row.args << "\n" << r.output;
    EXPECT_NE(r.output.find(row.says), std::string::npos) << row.args << "\n" << r.output;
  }
  // A port in use by another server is refused with the system's reason.
  const Result busy = Shell("python3 -c 'import socket,subprocess,sys; s=socket.socket(); s.bind((\"127.0.0.1\", 0)); "
                            "s.listen(); p=s.getsockname()[1]; "
                            "sys.exit(subprocess.call(sys.argv[1] + \" recorder serve --listen 127.0.0.1:%d\" % p, "
                            "shell=True))' \"" + env_ + "timeout 10 " + VELLORAN_BIN_DIR + "/velloran\"");
  EXPECT_EQ(busy.status, 1) << busy.output;
  EXPECT_NE(busy.output.find("Address already in use"), std::string::npos) << busy.output;
}

}  // namespace
