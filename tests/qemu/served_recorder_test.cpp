// The virtual recorder judged by burners other people wrote and tested on
// real drives: `velloran recorder serve` puts each recorder on iSCSI, QEMU
// passes it whole to the guest as /dev/srN, and Debian's xorriso, cdrskin,
// growisofs and wodim (and velloran itself, at the recorder's default
// timing) blank, burn, append and read back through the guest's kernel.
// What they leave on the recorder is read on the host by the project's
// readers, and in the guest by the kernel's ISO 9660 reader, every file
// compared with its source.
//
// Each row is one burner on one medium, with what it is expected to do on a
// real drive: work, burn without appending (it records DVD-R in disc at
// once), or refuse the medium. CI runs the rows marked so in one guest boot;
// VELLORAN_QEMU_BURNERS=all runs every row (several minutes under TCG):
//
//   VELLORAN_QEMU_BURNERS=all ctest --test-dir BUILD -R qemu.served --output-on-failure
#include "guest_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace velloran::qemu {
namespace {

namespace fs = std::filesystem;

const std::string kGuestBin = "/opt/velloran/bin";

enum class Expect {
  kWorks,     // every step succeeds and the disc holds both sessions
  kNoAppend,  // the first session is burned; appending is refused
  kRefused,   // the burner refuses the medium
};

struct Row {
  const char* burner;
  const char* medium;  // `velloran recorder insert` kind
  Expect expect;
  bool ci;
  const char* refusal = "";  // what the burner says when it refuses
  // Readers that must see the final tree on the host (check_image.py).
  const char* readers = "xorriso,isoinfo,7z,pycdlib";
};

// What each burner does on each medium, as src/vrec/README.md tabulates it.
const Row kRows[] = {
    {"xorriso", "cd-r", Expect::kWorks, true},
    {"xorriso", "cd-rw", Expect::kWorks, false},
    {"xorriso", "dvd+r", Expect::kWorks, false},
    {"xorriso", "dvd-r", Expect::kWorks, false},
    {"xorriso", "dvd-rw", Expect::kWorks, false},
    {"xorriso", "dvd+rw", Expect::kWorks, false},
    {"cdrskin", "cd-r", Expect::kWorks, false},
    {"cdrskin", "cd-rw", Expect::kWorks, true},
    {"cdrskin", "dvd+r", Expect::kWorks, false},
    {"cdrskin", "dvd-r", Expect::kWorks, false},
    {"cdrskin", "dvd-rw", Expect::kWorks, false},
    // cdrskin grows an ISO image on overwritable media by rewriting the
    // primary volume descriptor only: the Joliet tree (isoinfo -J, 7-Zip,
    // pycdlib) still shows the first session.
    {"cdrskin", "dvd+rw", Expect::kWorks, false, "", "xorriso"},
    {"growisofs", "cd-r", Expect::kRefused, false, "not recognized as recordable DVD"},
    {"growisofs", "cd-rw", Expect::kRefused, false, "not recognized as recordable DVD"},
    {"growisofs", "dvd+r", Expect::kWorks, false},
    {"growisofs", "dvd-r", Expect::kWorks, true},
    {"growisofs", "dvd-rw", Expect::kWorks, false},
    {"growisofs", "dvd+rw", Expect::kWorks, true},
    {"wodim", "cd-r", Expect::kWorks, false},
    {"wodim", "cd-rw", Expect::kWorks, false},
    {"wodim", "dvd+r", Expect::kNoAppend, false},
    {"wodim", "dvd-r", Expect::kNoAppend, true},
    {"wodim", "dvd-rw", Expect::kNoAppend, false},
    {"wodim", "dvd+rw", Expect::kRefused, false, "medium not formatted"},
    {"velloran", "cd-r", Expect::kWorks, false},
    {"velloran", "cd-rw", Expect::kWorks, true},
    {"velloran", "dvd+r", Expect::kWorks, false},
    {"velloran", "dvd-r", Expect::kWorks, true},
    {"velloran", "dvd-rw", Expect::kWorks, false},
    {"velloran", "dvd+rw", Expect::kWorks, false},
};

bool Rewritable(const Row& r) { return std::string(r.medium).find("rw") != std::string::npos; }
std::string RowName(const Row& r) {
  std::string m = r.medium;
  for (auto& c : m)
    if (c == '-' || c == '+') c = c == '+' ? 'P' : '_';
  return std::string(r.burner) + "_" + m;
}

bool AllRows() {
  const char* v = std::getenv("VELLORAN_QEMU_BURNERS");
  return v && std::string(v) == "all";
}

std::vector<Row> SelectedRows() {
  std::vector<Row> rows;
  for (const Row& r : kRows)
    if (r.ci || AllRows()) rows.push_back(r);
  return rows;
}

// The selected rows whose tests run (a --gtest_filter may pick a few).
std::vector<Row> RowsToRun() {
  std::vector<Row> rows;
  const auto* unit = ::testing::UnitTest::GetInstance();
  for (const Row& r : SelectedRows()) {
    bool runs = false;
    for (int i = 0; i < unit->total_test_suite_count(); ++i) {
      const auto* suite = unit->GetTestSuite(i);
      for (int j = 0; j < suite->total_test_count(); ++j) {
        const std::string name = suite->GetTestInfo(j)->name();
        if (suite->GetTestInfo(j)->should_run() && name.size() > RowName(r).size() &&
            name.compare(name.size() - RowName(r).size() - 1, std::string::npos, "/" + RowName(r)) == 0)
          runs = true;
      }
    }
    if (runs) rows.push_back(r);
  }
  return rows;
}

// The programs each burner needs in the guest.
std::vector<std::string> Programs(const std::string& burner) {
  if (burner == "xorriso") return {"xorriso"};
  if (burner == "cdrskin") return {"cdrskin", "genisoimage"};
  if (burner == "growisofs") return {"growisofs", "dvd+rw-format", "genisoimage"};
  if (burner == "wodim") return {"wodim", "genisoimage"};
  return {};
}

std::string Which(const std::string& program) {
  int rc = -1;
  std::string path = Capture("command -v " + ShellQuote(program) + " 2>/dev/null", &rc);
  while (!path.empty() && path.back() == '\n') path.pop_back();
  return rc == 0 ? path : std::string();
}

// --- The host side: sources and served recorders -------------------------------

void WriteFile(const fs::path& path, std::size_t size, unsigned seed) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>((i * 131 + seed * 7) % 251));
}

// One `velloran recorder serve` per recorder, each on a free port.
class Servers {
 public:
  explicit Servers(fs::path stateDir) : dir_(std::move(stateDir)) {}
  ~Servers() { Stop(); }

  // Starts recorder n; false with the reason in error().
  bool Start(int n) {
    int out[2];
    if (::pipe(out) != 0) return Error("pipe failed");
    const fs::path log = dir_ / ("serve" + std::to_string(n) + ".log");
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], 1);
      const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(err, 2);
      ::close(out[0]);
      ::setenv("VELLORAN_RECORDER_DIR", dir_.c_str(), 1);
      const std::string number = std::to_string(n);
      ::execl(VELLORAN_CLI, VELLORAN_CLI, "recorder", "serve", "--listen", "127.0.0.1:0", "--recorder",
              number.c_str(), nullptr);
      ::_exit(127);
    }
    ::close(out[1]);
    pids_.push_back(pid);
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    std::smatch m;
    if (!std::regex_search(line, m, std::regex("serving (\\S+) \\(LUN 0\\) on (127\\.0\\.0\\.1:[0-9]+)$")))
      return Error("velloran recorder serve did not start: " + line);
    urls_.push_back("iscsi://" + m[2].str() + "/" + m[1].str() + "/0");
    return true;
  }
  void Stop() {
    for (pid_t pid : pids_) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
    pids_.clear();
  }
  const std::vector<std::string>& urls() const { return urls_; }
  const std::string& error() const { return error_; }

 private:
  bool Error(const std::string& why) {
    error_ = why;
    return false;
  }
  fs::path dir_;
  std::vector<pid_t> pids_;
  std::vector<std::string> urls_;
  std::string error_;
};

std::string Recorder(const fs::path& stateDir, const std::string& args) {
  return Capture("VELLORAN_RECORDER_DIR=" + ShellQuote(stateDir.string()) + " " + ShellQuote(VELLORAN_CLI) +
                 " recorder " + args + " 2>&1");
}

// Drives per guest boot: velloran names drives D: to Z: (23 at most), and a
// boot with a few drives keeps each run's output readable.
constexpr std::size_t kDrivesPerBoot = 8;

struct Boot {
  std::vector<Row> rows;  // row n is /dev/srN and recorder n
  fs::path state;         // the recorders' state folder
  GuestRun run;
  std::vector<std::string> missing;  // per row: a program not installed
};

struct Bed {
  fs::path dir;
  std::vector<Boot> boots;
  std::string setupError;
  ~Bed() {
    std::error_code ec;
    if (!dir.empty() && !std::getenv("VELLORAN_QEMU_KEEP")) fs::remove_all(dir, ec);
  }
  fs::path first() const { return dir / "first"; }
  fs::path second() const { return dir / "second"; }
  fs::path expected() const { return dir / "expected"; }
};

std::string Dev(std::size_t n) { return "/dev/sr" + std::to_string(n); }

std::string Step(const std::string& function, const Row& r, std::size_t n, const std::string& src = "") {
  return "MEDIUM=" + std::string(r.medium) + "; . " + kGuestBin + "/guest_burners.sh; " + function + " " +
         r.burner + " " + Dev(n) + (src.empty() ? "" : " " + src);
}

std::vector<qemu::Step> StepsFor(const Row& r, std::size_t n) {
  const std::string p = "r" + std::to_string(n) + "-";
  std::vector<qemu::Step> s;
  if (Rewritable(r) && r.expect != Expect::kRefused) {
    // Something to erase first: the rewritable disc is written, then blanked.
    s.push_back({p + "before-blank", Step("burn", r, n, "/root/first"), 300});
    s.push_back({p + "blank", Step("blank", r, n), 300});
  }
  s.push_back({p + "burn", Step("burn", r, n, "/root/first"), 300});
  if (r.expect != Expect::kRefused) s.push_back({p + "append", Step("append", r, n, "/root/second"), 300});
  // The kernel mounts the last session; where appending is refused, the
  // first one must still be there. The kernel reads the disc anew only once
  // the tray has been opened and closed: velloran does that itself after a
  // recording, the tray is reloaded for the others.
  const std::string options = r.expect == Expect::kNoAppend ? "ro,sbsector=0" : "ro";
  const std::string reload = std::string(r.burner) == "velloran" ? "" : "reload " + Dev(n) + "; ";
  s.push_back({p + "read", ". " + kGuestBin + "/guest_burners.sh; " + reload + "mount -t iso9660 -o " +
                               options + " " + Dev(n) + " /mnt && " + TreeChecksumCommand("/mnt") +
                               "; rc=$?; umount /mnt; exit $rc"});
  return s;
}

std::string RunBoot(const Bed& bed, Boot& boot) {
  fs::create_directories(boot.state);
  GuestSpec spec;
  spec.modules = {"isofs"};
  spec.memoryMiB = 768;
  spec.timeoutSeconds = 300 + 240 * static_cast<int>(boot.rows.size());
  spec.files = {std::string(VELLORAN_CLI) + "=" + kGuestBin + "/velloran",
                std::string(VELLORAN_DRIVE_PROBE) + "=" + kGuestBin + "/velloran-drive-probe",
                std::string(VELLORAN_SOURCE_DIR) + "/tests/qemu/guest_burners.sh=" + kGuestBin + "/guest_burners.sh",
                bed.first().string() + "=/root/first", bed.second().string() + "=/root/second"};
  std::vector<std::string> copied;
  Servers servers(boot.state);
  for (std::size_t n = 0; n < boot.rows.size(); ++n) {
    const Row& r = boot.rows[n];
    std::string missing;
    for (const auto& program : Programs(r.burner)) {
      const std::string path = Which(program);
      if (path.empty()) {
        missing = program;
      } else if (std::find(copied.begin(), copied.end(), path) == copied.end()) {
        spec.files.push_back(path);
        copied.push_back(path);
      }
    }
    boot.missing.push_back(missing);
    const std::string inserted =
        Recorder(boot.state, "insert " + std::string(r.medium) + " --recorder " + std::to_string(n));
    if (inserted.find("Medium:") == std::string::npos)
      return "cannot insert " + std::string(r.medium) + ": " + inserted;
    if (!servers.Start(static_cast<int>(n))) return servers.error();
    if (missing.empty()) {
      const auto steps = StepsFor(r, n);
      spec.steps.insert(spec.steps.end(), steps.begin(), steps.end());
    }
  }
  spec.iscsi = servers.urls();
  boot.run = RunGuest(spec);
  servers.Stop();
  std::printf("[ qemu     ] served recorders: %zu drives, guest ran in %.1f s\n", boot.rows.size(), boot.run.seconds);
  if (const char* v = std::getenv("VELLORAN_QEMU_VERBOSE"); v && *v == '1')
    for (const auto& step : spec.steps)
      std::printf("---- %s (status %d, %.1f s)\n%s---- stderr\n%s", step.name.c_str(), boot.run[step.name].status,
                  boot.run[step.name].seconds, boot.run[step.name].out.c_str(), boot.run[step.name].err.c_str());
  return {};
}

const Bed& TheBed() {
  static std::unique_ptr<Bed> bed;
  if (bed) return *bed;
  bed = std::make_unique<Bed>();
  Bed& b = *bed;
  b.dir = fs::temp_directory_path() / ("velloran-qemu-served-" + std::to_string(::getpid()));
  WriteFile(b.first() / "readme.txt", 3000, 1);
  WriteFile(b.first() / "data" / "deeper" / "blocks.bin", 300000, 2);
  WriteFile(b.second() / "later.txt", 70000, 3);
  WriteFile(b.second() / "more" / "small.dat", 10, 4);
  fs::copy(b.first(), b.expected(), fs::copy_options::recursive);
  fs::copy(b.second(), b.expected() / "s2", fs::copy_options::recursive);
  const auto rows = RowsToRun();
  for (std::size_t i = 0; i < rows.size(); i += kDrivesPerBoot) {
    Boot boot;
    boot.rows.assign(rows.begin() + static_cast<std::ptrdiff_t>(i),
                     rows.begin() + static_cast<std::ptrdiff_t>(std::min(rows.size(), i + kDrivesPerBoot)));
    boot.state = b.dir / ("recorders" + std::to_string(b.boots.size()));
    b.boots.push_back(std::move(boot));
  }
  for (auto& boot : b.boots) {
    b.setupError = RunBoot(b, boot);
    if (!b.setupError.empty() || boot.run.unavailable) break;
  }
  return b;
}

// The last session's start, from the recorder's own account: the start of
// the last complete track (0 on overwritable media, whose descriptors at
// block 16 always describe the newest session).
std::string LastSessionStart(const std::string& status) {
  std::string start = "0";
  std::regex track("Track [0-9]+: +session [0-9]+, start ([0-9]+), size [0-9]+, complete");
  for (auto it = std::sregex_iterator(status.begin(), status.end(), track); it != std::sregex_iterator(); ++it)
    start = (*it)[1];
  return start;
}

// A step that ended by itself: not by the guest's timeout (a hang) nor by a
// signal (a crash). Burners have exit codes of their own beyond 128.
bool EndedByItself(int status) {
  return status != 124 && status != 137 && status != 143 &&
         !(status == 134 || status == 135 || status == 136 || status == 139);
}

class ServedRecorder : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    bed_ = &TheBed();
    ASSERT_EQ(bed_->setupError, "");
    for (const Boot& boot : bed_->boots)
      for (std::size_t n = 0; n < boot.rows.size(); ++n)
        if (RowName(boot.rows[n]) == RowName(GetParam())) boot_ = &boot, index_ = n;
    ASSERT_NE(boot_, nullptr);
    if (boot_->run.unavailable) GTEST_SKIP() << "QEMU GUEST UNAVAILABLE: " << boot_->run.reason;
    ASSERT_TRUE(boot_->run.booted) << boot_->run.reason;
    if (!boot_->missing[index_].empty())
      GTEST_SKIP() << "QEMU GUEST UNAVAILABLE: " << boot_->missing[index_] << " is not installed (scripts/deps.sh)";
  }

  const StepResult& Step(const std::string& what) {
    const StepResult& r = boot_->run["r" + std::to_string(index_) + "-" + what];
    EXPECT_TRUE(r.ran) << what << " did not run";
    return r;
  }
  static std::string Said(const StepResult& r) { return "stdout:\n" + r.out + "\nstderr:\n" + r.err; }

  std::string Status() const { return Recorder(boot_->state, "status --recorder " + std::to_string(index_)); }

  // The disc as the recorder holds it, read on the host from its last
  // session by xorriso, isoinfo (and at block 0, 7-Zip and pycdlib).
  std::string CheckOnHost(const fs::path& source, bool lastSession = true) {
    const std::string readers = GetParam().readers;
    const fs::path image = boot_->state / ("disc" + std::to_string(index_) + ".iso");
    Recorder(boot_->state, "export " + ShellQuote(image.string()) + " --recorder " + std::to_string(index_));
    const std::string start = lastSession ? LastSessionStart(Status()) : "0";
    int rc = -1;
    const std::string out = Capture("/usr/bin/python3 " +
                                        ShellQuote(std::string(VELLORAN_SOURCE_DIR) + "/tests/tools/check_image.py") +
                                        " " + ShellQuote(image.string()) + " " + ShellQuote(source.string()) +
                                        (start == "0" ? "" : " --session-start " + start) + " --readers " +
                                        readers + " 2>&1",
                                    &rc);
    return rc == 0 ? "" : "check_image.py, session at " + start + ":\n" + out;
  }

  const Bed* bed_ = nullptr;
  const Boot* boot_ = nullptr;
  std::size_t index_ = 0;
};

TEST_P(ServedRecorder, BurnerDoesOnTheServedRecorderWhatItDoesOnARealDrive) {
  const Row& row = GetParam();
  if (Rewritable(row) && row.expect != Expect::kRefused) {
    EXPECT_EQ(Step("before-blank").status, 0) << Said(Step("before-blank"));
    EXPECT_EQ(Step("blank").status, 0) << Said(Step("blank"));
  }
  const auto& burn = Step("burn");
  const auto& read = Step("read");
  if (row.expect == Expect::kRefused) {
    EXPECT_NE(burn.status, 0) << Said(burn);
    EXPECT_TRUE(EndedByItself(burn.status)) << "crashed or hung\n" << Said(burn);
    EXPECT_NE((burn.out + burn.err).find(row.refusal), std::string::npos) << Said(burn);
    return;
  }
  const auto& append = Step("append");
  switch (row.expect) {
    case Expect::kWorks: {
      ASSERT_EQ(burn.status, 0) << Said(burn) << "\nrecorder:\n" << Status();
      ASSERT_EQ(append.status, 0) << Said(append) << "\nrecorder:\n" << Status();
      EXPECT_EQ(read.status, 0) << Said(read);
      EXPECT_EQ(ParseChecksums(read.out), HostTreeChecksums(bed_->expected().string())) << read.out;
      EXPECT_EQ(CheckOnHost(bed_->expected()), "") << Status();
      break;
    }
    case Expect::kNoAppend: {
      ASSERT_EQ(burn.status, 0) << Said(burn) << "\nrecorder:\n" << Status();
      EXPECT_NE(append.status, 0) << Said(append);
      EXPECT_TRUE(EndedByItself(append.status)) << "crashed or hung\n" << Said(append);
      EXPECT_EQ(ParseChecksums(read.out), HostTreeChecksums(bed_->first().string())) << read.out;
      EXPECT_EQ(CheckOnHost(bed_->first(), false), "") << Status();
      break;
    }
    case Expect::kRefused: break;
  }
}

void PrintTo(const Row& r, std::ostream* os) { *os << r.burner << " on " << r.medium; }

INSTANTIATE_TEST_SUITE_P(Burners, ServedRecorder, ::testing::ValuesIn(SelectedRows()),
                         [](const ::testing::TestParamInfo<Row>& i) { return RowName(i.param); });

}  // namespace
}  // namespace velloran::qemu
