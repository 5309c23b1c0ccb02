// The sessions, erase, eject and burn --import commands, run as a user runs
// them: the velloran program on a virtual recorder reached through the ASPI
// library beside it. The recorder's long operations take a twentieth of
// their default time: the drive is busy after a close or a blank, as a real
// one is.
#include "shell_run.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

// The recorder's long operations (closes, formats, flushes, erases) take a
// twentieth of a real drive's time: a drive is busy when a real one would
// be, in every command these tests run, the burns run in the background too.
constexpr const char* kTimeScale = "0.05";

namespace fs = std::filesystem;

struct Result {
  int code = -1;
  std::string out;  // stdout and stderr
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velloran-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_TRUE(fs::exists(fs::path(VELLORAN_BIN_DIR) / "velloran")) << "build the velloran program first";
    for (const char* folder : {"s1", "s2", "s3"}) fs::create_directories(dir_ / folder);
    Write("s1/a.txt", "alpha");
    Write("s1/docs/notes.txt", "notes");
    Write("s2/b.txt", "bravo");
    Write("s3/c.txt", "charlie");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void Write(const std::string& rel, const std::string& text) {
    fs::create_directories((dir_ / rel).parent_path());
    std::ofstream(dir_ / rel) << text;
  }

  Result Run(const std::string& args) {
    return Sh("VELLORAN_RECORDER_DIR='" + (dir_ / "rec").string() + "' VELLORAN_RECORDER_TIME_SCALE=" + kTimeScale + " '" VELLORAN_BIN_DIR
              "/velloran' " + args + " 2>&1");
  }
  // A shell command in the test's folder.
  Result Sh(const std::string& command) {
    ::velloran::test::ShellResult r = ::velloran::test::Capture("cd '" + dir_.string() + "' && " + command);
    return Result{r.status, std::move(r.out)};
  }

  // Starts `velloran ARGS` in the background with its output to LOG; its
  // process id (the shell execs the program).
  pid_t Start(const std::string& args, const std::string& log) {
    const std::string cmd = "cd '" + dir_.string() + "' && VELLORAN_RECORDER_DIR='" + (dir_ / "rec").string() +
                            "' VELLORAN_RECORDER_TIME_SCALE=" + kTimeScale + " exec '" VELLORAN_BIN_DIR "/velloran' " + args + " >'" +
                            log + "' 2>&1";
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  }
  static int Wait(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Polls `recorder status` (up to 20 s) until it shows `text`.
  bool StatusShows(const std::string& text) {
    for (int i = 0; i < 400; ++i) {
      if (Run("recorder status").out.find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // Where the newest session's descriptors are read from: its first track's
  // start, or 0 on a disc that keeps one file system from address 0.
  std::string LastSessionStart() {
    const Result status = Run("recorder status");
    std::string start = "0";
    const std::regex track(R"(Track \d+:\s+session \d+, start (\d+), size \d+, complete)");
    for (std::sregex_iterator it(status.out.begin(), status.out.end(), track), end; it != end; ++it)
      start = (*it)[1];
    return start;
  }

  fs::path dir_;
};

struct MediumCase {
  const char* kind;  // as `velloran recorder insert` names it
  const char* shown;  // medium type in the sessions listing
};

class CliMedia : public CliTest, public ::testing::WithParamInterface<MediumCase> {};

TEST_P(CliMedia, AppendingSessionsAndClosingTheDisc) {
  ASSERT_EQ(Run(std::string("recorder insert ") + GetParam().kind).code, 0);
  Result r = Run("sessions");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("no sessions"), std::string::npos) << r.out;

  r = Run("burn --import last s1");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("nothing to import: the disc holds no session"), std::string::npos) << r.out;

  ASSERT_EQ(Run("burn --volume ONE s1").code, 0);
  r = Run("burn --import 4 s2");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("nothing to import: the disc holds 1 session, not 4"), std::string::npos) << r.out;
  r = Run("burn --import first s2");
  EXPECT_EQ(r.code, 2) << r.out;

  r = Run("burn --import last s2");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Imported 3 files and folders from session 1."), std::string::npos) << r.out;
  r = Run("burn --import 2 --finalize s3");
  ASSERT_EQ(r.code, 0) << r.out;

  // One row per session, where the recorder put them.
  const Result status = Run("recorder status");
  std::vector<std::string> starts;
  const std::regex track(R"(Track \d+:\s+session (\d+), start (\d+), size \d+, complete)");
  for (std::sregex_iterator it(status.out.begin(), status.out.end(), track), end; it != end; ++it)
    starts.push_back((*it)[2]);
  ASSERT_EQ(starts.size(), 3u) << status.out;
  r = Run("sessions");
  ASSERT_EQ(r.code, 0) << r.out;
  const std::regex row(R"(Session(\d\d)\s+(\d+):(\d\d):(\d\d)\s+(\d+)\s+\d+ Mb)");
  std::vector<std::string> rows;
  for (std::sregex_iterator it(r.out.begin(), r.out.end(), row), end; it != end; ++it) {
    rows.push_back((*it)[5]);
    const long msf = std::stol((*it)[2]) * 4500 + std::stol((*it)[3]) * 75 + std::stol((*it)[4]);
    EXPECT_EQ(msf - 150, std::stol((*it)[5])) << "start shown as minutes:seconds:frames";
  }
  EXPECT_EQ(rows, starts) << r.out;
  EXPECT_NE(r.out.find("Session01      0:02:00"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(std::string("Medium Type :   ") + GetParam().shown + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("closed (finalized)"), std::string::npos) << r.out;

  r = Run("burn s1");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("the disc is closed (finalized): nothing more can be written to it"), std::string::npos)
      << r.out;
}

INSTANTIATE_TEST_SUITE_P(Media, CliMedia,
                         ::testing::Values(MediumCase{"cd-r", "CD-R"}, MediumCase{"dvd+r", "DVD+R"},
                                           MediumCase{"dvd-r", "DVD-R"}),
                         [](const auto& info) {
                           std::string name = info.param.shown;
                           for (char& c : name)
                             if (c == '-') c = 'M';
                             else if (c == '+') c = 'P';
                           return name;
                         });

// A second burn keeps what the first one recorded: every reader shows only
// the newest session, so a session without the earlier files would hide
// them. --new-session records a session that shows only its own files.
TEST_P(CliMedia, AppendKeepsTheDiscsFilesUnlessANewSessionIsAsked) {
  ASSERT_EQ(Run(std::string("recorder insert ") + GetParam().kind).code, 0);
  Result r = Run("burn s1");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out.find("Keeping"), std::string::npos) << "a blank disc has nothing to keep: " << r.out;
  r = Run("burn s2");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Keeping the 2 files already on the disc (session 1)."), std::string::npos) << r.out;
  const std::string kept = LastSessionStart();
  ASSERT_EQ(Run("recorder export kept.img").code, 0);

  r = Run("burn --new-session s3");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out.find("Keeping"), std::string::npos) << r.out;
  const std::string alone = LastSessionStart();
  ASSERT_EQ(Run("recorder export alone.img").code, 0);
  EXPECT_EQ(Run("burn --new-session --import last s3").code, 2) << "the two options contradict each other";

  for (const char* tool : {"xorriso", "isoinfo"})
    if (Sh(std::string("command -v ") + tool).code != 0) GTEST_SKIP() << tool << " is not installed";
  if (Sh("/usr/bin/python3 -c 'import pycdlib'").code != 0) GTEST_SKIP() << "pycdlib is not installed";
  for (const char* folder : {"s1", "s2"}) fs::copy(dir_ / folder, dir_ / "s12", fs::copy_options::recursive);
  const std::string check = "/usr/bin/python3 " VELLORAN_SOURCE_DIR "/tests/tools/check_image.py ";
  r = Sh(check + "kept.img s12 --readers xorriso,isoinfo,pycdlib --session-start " + kept);
  EXPECT_EQ(r.code, 0) << "session at " << kept << ":\n" << r.out;
  r = Sh(check + "alone.img s3 --readers xorriso,isoinfo,pycdlib --session-start " + alone);
  EXPECT_EQ(r.code, 0) << "session at " << alone << ":\n" << r.out;
}

// A drive that is becoming ready when the burn starts (a disc just loaded,
// another program's close still running) answers NOT READY for a while:
// burn waits for it before it reads the disc's files, and so keeps them,
// by default and with --import, where the disc must not read as one
// holding nothing. Reading the disc back and listing its sessions wait too.
TEST_F(CliTest, CommandsWaitForADriveBecomingReadyBeforeTheyReadTheDisc) {
  ASSERT_EQ(Run("recorder insert cd-r").code, 0);
  ASSERT_EQ(Run("burn s1").code, 0);
  ASSERT_EQ(Run("recorder fault not-ready 12").code, 0);
  Result r = Run("burn s2");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Keeping the 2 files already on the disc (session 1)."), std::string::npos) << r.out;
  r = Run("verify s1 s2");
  EXPECT_EQ(r.code, 0) << "the newest session holds the first one's files: " << r.out;

  ASSERT_EQ(Run("recorder fault not-ready 12").code, 0);
  r = Run("burn --import last s3");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Imported 4 files and folders from session 2."), std::string::npos) << r.out;
  ASSERT_EQ(Run("recorder fault not-ready 12").code, 0);
  r = Run("verify s1 s2 s3");
  EXPECT_EQ(r.code, 0) << r.out;
  ASSERT_EQ(Run("recorder fault not-ready 12").code, 0);
  r = Run("sessions");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Session03"), std::string::npos) << "all three sessions are listed: " << r.out;
}

TEST_F(CliTest, EraseAndEject) {
  ASSERT_EQ(Run("recorder insert cd-r").code, 0);
  ASSERT_EQ(Run("burn s1").code, 0);
  Result r = Run("erase");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("the disc in the drive (CD-R) is not rewritable"), std::string::npos) << r.out;

  ASSERT_EQ(Run("recorder eject").code, 0);
  ASSERT_EQ(Run("recorder insert cd-rw").code, 0);
  ASSERT_EQ(Run("burn s1").code, 0);
  for (const char* how : {"erase", "erase --full"}) {
    r = Run(how);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("Disc erased successfully."), std::string::npos) << r.out;
    EXPECT_NE(Run("recorder status").out.find("Status:        blank"), std::string::npos);
  }

  r = Run("eject");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(Run("recorder status").out.find("tray open"), std::string::npos);
  for (const char* command : {"sessions", "erase", "burn --import last s1"}) {
    r = Run(command);
    EXPECT_EQ(r.code, 1) << command << ": " << r.out;
    EXPECT_NE(r.out.find("no disc in the drive"), std::string::npos) << command << ": " << r.out;
  }
}

TEST_F(CliTest, AppendKeepsAnEarlierFolderBesideANewFileOfItsName) {
  // Session 1 holds the folder docs; session 2 adds a file named docs.
  ASSERT_EQ(Run("recorder insert cd-r").code, 0);
  ASSERT_EQ(Run("burn s1").code, 0);
  Write("newdocs", "the new file");
  Result r = Run("burn --import last --verbose docs=newdocs");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("/docs -> docs~1 (Joliet: another entry in the folder has this name)"), std::string::npos)
      << r.out;
  ASSERT_EQ(Run("recorder export disc.img").code, 0);
  if (Sh("command -v xorriso").code != 0) GTEST_SKIP() << "xorriso is not installed (Debian package xorriso)";
  // The second session, where the recorder put it.
  const Result status = Run("recorder status");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(status.out, m, std::regex(R"(Track 2:\s+session 2, start (\d+))"))) << status.out;
  const std::string xorriso = "xorriso -indev disc.img -load sbsector " + m[1].str() + " -joliet on ";
  const Result listing = Sh(xorriso + "-find / 2>/dev/null");
  EXPECT_NE(listing.out.find("'/docs/notes.txt'"), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find("'/a.txt'"), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find("'/docs~1'"), std::string::npos) << listing.out;
  const Result content = Sh(xorriso + "-osirrox on -extract /docs/notes.txt got.txt >/dev/null 2>&1 && " + xorriso +
                            "-osirrox on -extract /docs~1 got2.txt >/dev/null 2>&1 && cat got.txt got2.txt");
  EXPECT_EQ(content.out, "notesthe new file");
  if (Sh("command -v isoinfo").code == 0) {
    const Result joliet = Sh("isoinfo -J -f -T " + m[1].str() + " -i disc.img");
    for (const char* path : {"/docs\n", "/docs~1.;1\n", "/docs/notes.txt;1\n", "/a.txt;1\n"})
      EXPECT_NE(joliet.out.find(path), std::string::npos) << path << joliet.out;
  }
}

TEST_F(CliTest, PlanTellsTheSpaceWhetherItFitsAndTheNamesThatChange) {
  Write("s4/readme.txt", "lower");
  Write("s4/ReadMe.txt", "mixed");
  Write("s4/my long document.txt", "long");
  // A name may hold a backslash or an escape sequence: shown as a name,
  // never played by the terminal.
  Write("s4/x\\y", "backslash");
  Write("s4/red\x1b[31m", "escape");
  ASSERT_EQ(Run("recorder insert cd-r").code, 0);
  Result r = Run("plan s4");
  EXPECT_EQ(r.code, 0) << r.out;
  for (const char* line : {"The session needs 300 sectors", "has 359849 sectors (702.8 MB) free: the session fits.",
                           "7 names differ from their sources:", "  /x\\y -> X_Y~1 (ISO 9660: 8.3 name)\n",
                           "  /red\\x1b[31m -> red_[31m (Joliet: ",
                           "  /readme.txt -> readme~1.txt (Joliet: differs only in case from another name in the folder)",
                           "  /readme.txt -> README~1.TXT (was README.TXT) (ISO 9660: another entry",
                           "  /my long document.txt -> MYLONG~1.TXT (ISO 9660: 8.3 name)"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
  EXPECT_NE(Run("recorder status").out.find("Status:        blank"), std::string::npos) << "plan wrote nothing";

  ASSERT_EQ(Run("recorder eject").code, 0);
  ASSERT_EQ(Run("recorder insert cd-r --capacity 200").code, 0);
  r = Run("plan s4");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("free: the session does not fit."), std::string::npos) << r.out;

  ASSERT_EQ(Run("recorder eject").code, 0);
  r = Run("plan s4");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("No disc in the drive: whether it fits is not checked."), std::string::npos) << r.out;
}

TEST_F(CliTest, EjectFromAnotherTerminalLeavesABurnAlone) {
  ASSERT_EQ(Run("recorder insert cd-r").code, 0);
  {
    std::ofstream big(dir_ / "s1" / "big.bin", std::ios::binary);
    for (int i = 0; i < 24 << 20; i += 4) big.write(reinterpret_cast<const char*>(&i), 4);
  }
  // Every command takes a while: the burn writes for about twenty seconds,
  // longer than the commands below take on a loaded machine.
  ASSERT_EQ(Run("recorder fault slow 50").code, 0);
  const std::string log = (dir_ / "burn.log").string();
  const pid_t burn = Start("burn s1", log);
  ASSERT_GT(burn, 0);
  const bool writing = StatusShows(", open\n");
  Result r = Run("eject");
  if (!writing) {
    ::kill(burn, SIGKILL);
    Wait(burn);
    std::ifstream in(log);
    FAIL() << "the burn never started writing: " << std::string(std::istreambuf_iterator<char>(in), {});
  }
  const std::string held = "is in use by process " + std::to_string(burn) + " (velloran)";
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find(held), std::string::npos) << r.out;
  EXPECT_EQ(Run("recorder status").out.find("tray open"), std::string::npos);
  // Every other command that would use the drive names the burn as well,
  // and leaves the drive to it.
  for (const auto& [command, code] :
       std::vector<std::pair<std::string, int>>{{"burn s2", 1}, {"erase", 1}, {"info", 0}, {"drives", 0}}) {
    r = Run(command);
    EXPECT_EQ(r.code, code) << command << ": " << r.out;
    EXPECT_NE(r.out.find(held), std::string::npos) << command << ": " << r.out;
  }
  int status = 0;
  EXPECT_EQ(::waitpid(burn, &status, WNOHANG), 0) << "the burn ended before every command was tried";
  EXPECT_EQ(Wait(burn), 0);
  std::ifstream in(log);
  const std::string burnOut((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(burnOut.find("Operation process done successfully."), std::string::npos) << burnOut;
  // Once the burn is over, the drive is free again.
  ASSERT_EQ(Run("recorder fault clear").code, 0);
  r = Run("eject");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(Run("recorder status").out.find("tray open"), std::string::npos);
}

TEST_F(CliTest, VerifyAfterBurningAndAgainstFolders) {
  ASSERT_EQ(Run("recorder insert cd-r").code, 0);
  Write("s4/x.txt", "x");
  Write("s4/y.txt", "y");
  Result r = Run("burn --verify s4 s2");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Verified: the disc holds every file as recorded."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Operation process done successfully."), std::string::npos) << r.out;

  r = Run("verify s4 s2");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Verified"), std::string::npos) << r.out;
  // The disc loses a sector of b.txt (the last file laid out), and the
  // sources changed: every difference is listed with both names.
  ASSERT_EQ(Run("recorder fault corrupt 152").code, 0);
  Write("s4/x.txt", "changed");
  r = Run("verify --session 1 s4 s2");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("/B.TXT | /b.txt: CONTENT DIFFERS FROM THE SOURCE FILE"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("/X.TXT | /x.txt: 1 BYTES ON THE DISC, 7 EXPECTED"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("velloran verify: VERIFICATION FAILED: 2 FILES DO NOT MATCH THE RECORDING"), std::string::npos)
      << r.out;
  r = Run("verify --session 2 s4");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("SESSION 2 CANNOT BE FOUND ON THE DISC"), std::string::npos) << r.out;

  // An image is compared block for block: the fault (a flaw of the drive,
  // it stays) spoils sector 152 of the next disc too, a sector of no file.
  ASSERT_EQ(Run("save-iso img.iso s1").code, 0);
  ASSERT_EQ(Run("recorder insert dvd+r").code, 0);
  r = Run("burn-image --verify img.iso");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("velloran burn-image: VERIFICATION FAILED: SECTORS 152 TO 152 DIFFER FROM THE IMAGE"),
            std::string::npos)
      << r.out;
  ASSERT_EQ(Run("recorder fault clear").code, 0);
  ASSERT_EQ(Run("recorder insert dvd+r").code, 0);
  r = Run("burn-image --verify img.iso");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Verified"), std::string::npos) << r.out;
}

// A file of 4 GiB and more is recorded as two extents; the read-back must
// follow both, in both name spaces, beside nested folders with accented
// names: a sector damaged in the second extent names that file alone. The
// file is sparse, so the test costs time, not disk space.
TEST_F(CliTest, MultiExtentFileIsReadBackWhole) {
  constexpr std::int64_t kExtent = 0xFFFFF800;  // bytes of the first extent
  const fs::path big = dir_ / "big.bin";
  {
    std::ofstream f(big, std::ios::binary);
    f << "HEAD";
  }
  fs::resize_file(big, kExtent + 8192);
  {
    std::fstream f(big, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(kExtent - 4);
    f << "edge" << std::string(8192, 'T');  // across the extents, and the whole second one
  }
  Write("tree/Répertoire été/Sous-dossier/ñandú.txt", "pájaro");
  Write("tree/Répertoire été/notes.txt", "notes");
  ASSERT_EQ(Run("recorder insert dvd+rw").code, 0);
  // big.bin comes first: its data starts at the first file location, 150.
  const std::uint32_t second = 150 + kExtent / 2048;  // the second extent's first sector
  ASSERT_EQ(Run("recorder fault corrupt " + std::to_string(second + 1)).code, 0);
  const Result r = Run("burn --verify big.bin tree");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("Verification found 1 difference (ISO 9660 name | Joliet name):\n"
                       "  /BIG.BIN | /big.bin: CONTENT DIFFERS FROM WHAT WAS RECORDED\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("velloran burn: VERIFICATION FAILED: 1 FILES DO NOT MATCH THE RECORDING"), std::string::npos)
      << r.out;
}

// On each writable kind a clean burn verifies (on DVD+R with a file of two
// extents beside the accented folders) and a sector damaged after it was
// written names the file it belongs to, in both name spaces, and nothing
// else. A CD holds no file of 4 GiB.
TEST_F(CliTest, EveryKindVerifiesCleanAndNamesADamagedFile) {
  std::string nandu;
  while (nandu.size() < 5000) nandu += "pájaro " + std::to_string(nandu.size()) + "\n";
  Write("tree/Répertoire été/Sous-dossier/ñandú.txt", nandu);
  Write("tree/Répertoire été/notes.txt", "notes");
  Write("tree/Zebra/z.txt", "zebra");
  // Where the file's data lies: the first session starts at 0 on every
  // fresh disc, as in an image of the same folders.
  ASSERT_EQ(Run("save-iso layout.iso tree").code, 0);
  std::ifstream iso(dir_ / "layout.iso", std::ios::binary);
  const std::string image((std::istreambuf_iterator<char>(iso)), std::istreambuf_iterator<char>());
  const std::size_t at = image.find(nandu.substr(0, 200));
  ASSERT_NE(at, std::string::npos);
  ASSERT_EQ(at % 2048, 0u);
  const std::string damaged = std::to_string(at / 2048 + 1);  // its second sector
  {
    std::ofstream f(dir_ / "big.bin", std::ios::binary);
    f << "HEAD";
  }
  fs::resize_file(dir_ / "big.bin", 0xFFFFF800LL + 4096);
  const std::regex named(
      "\n  /[A-Z0-9_~]+/[A-Z0-9_~]+/[A-Z0-9_~]+\\.TXT \\| "
      "/Répertoire été/Sous-dossier/ñandú\\.txt: CONTENT DIFFERS FROM WHAT WAS RECORDED\n");
  struct Case {
    const char* kind;
    bool big;
  } cases[] = {{"cd-r", false}, {"dvd+r", true}, {"dvd+rw", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    ASSERT_EQ(Run(std::string("recorder insert ") + c.kind).code, 0);
    Result r = Run(std::string("burn --verify ") + (c.big ? "big.bin " : "") + "tree");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("Verified: the disc holds every file as recorded."), std::string::npos) << r.out;

    ASSERT_EQ(Run(std::string("recorder insert ") + c.kind).code, 0);
    ASSERT_EQ(Run("recorder fault corrupt " + damaged).code, 0);
    r = Run("burn --verify tree");
    ASSERT_EQ(Run("recorder fault clear").code, 0);
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("Verification found 1 difference (ISO 9660 name | Joliet name):"), std::string::npos)
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, named)) << r.out;
    EXPECT_NE(r.out.find("velloran burn: VERIFICATION FAILED: 1 FILES DO NOT MATCH THE RECORDING"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Operation process done successfully."), std::string::npos) << r.out;
  }
}

}  // namespace
