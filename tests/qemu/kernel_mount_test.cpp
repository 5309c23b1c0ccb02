// The guest's own ISO 9660 reader (isofs) on a disc image: the harness loads
// the module, the kernel mounts /dev/sr0, and every file must match its
// source. The image has two sessions, as a multi-session disc has: a plain
// mount reads the first one (QEMU's drive reports a single-session TOC), and
// sbsector= the second, which lists the first session's file beside its own.
//
// Tests that burn a disc and read it back in the guest use the same pieces:
// GuestSpec::modules, TreeChecksumCommand and HostTreeChecksums. velloran's own
// appends are read the same way: a second burn keeps the first session's
// files, a --new-session burn shows only its own.
#include "guest_run.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

namespace velloran::qemu {
namespace {

namespace fs = std::filesystem;

struct TwoSessionImage {
  fs::path dir;
  std::string path;
  std::uint64_t secondSession = 0;  // the second session's first block
  std::string error;
  ~TwoSessionImage() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
};

// Made by genisoimage: session 1 from first/, session 2 (-C/-M) from second/
// written at the first session's end, as a recorder appends it.
const TwoSessionImage& Image() {
  static TwoSessionImage t = [] {
    TwoSessionImage t;
    t.dir = fs::temp_directory_path() / ("velloran-qemu-mount-" + std::to_string(::getpid()));
    fs::create_directories(t.dir / "first" / "deep" / "er");
    fs::create_directories(t.dir / "second" / "later");
    {
      std::ofstream a(t.dir / "first" / "deep" / "er" / "numbers.txt");
      for (int i = 0; i < 40000; ++i) a << i << '\n';
      std::ofstream b(t.dir / "first" / "top.txt");
      b << "first session\n";
      std::ofstream c(t.dir / "second" / "later" / "added.txt");
      c << "second session\n";
    }
    const std::string s1 = (t.dir / "s1.iso").string(), s2 = (t.dir / "s2.iso").string();
    int rc = -1;
    std::string log = Capture("genisoimage -quiet -r -J -V TWOSESSIONS -o " + ShellQuote(s1) + " " +
                                  ShellQuote((t.dir / "first").string()) + " 2>&1",
                              &rc);
    std::error_code ec;
    const auto size = fs::file_size(s1, ec);
    if (rc != 0 || ec || size % 2048 != 0) {
      t.error = "genisoimage failed (apt-get install genisoimage): " + log;
      return t;
    }
    t.secondSession = size / 2048;
    const std::string next = std::to_string(t.secondSession);
    log = Capture("(genisoimage -quiet -r -J -V TWOSESSIONS -C 0," + next + " -M " + ShellQuote(s1) + " -o " +
                      ShellQuote(s2) + " " + ShellQuote((t.dir / "second").string()) + " && cp " + ShellQuote(s1) +
                      " " + ShellQuote((t.dir / "two.iso").string()) + " && dd status=none conv=notrunc bs=2048 seek=" +
                      next + " if=" + ShellQuote(s2) + " of=" + ShellQuote((t.dir / "two.iso").string()) + ") 2>&1",
                  &rc);
    if (rc != 0) {
      t.error = "cannot append the second session: " + log;
      return t;
    }
    t.path = (t.dir / "two.iso").string();
    return t;
  }();
  return t;
}

TEST(KernelMount, GuestMountsEachSessionOfAnImageAndEveryFileMatches) {
  const auto& image = Image();
  ASSERT_EQ(image.error, "");
  GuestSpec spec;
  spec.bus = Bus::kScsi;
  spec.medium = Medium::kCd;
  spec.image = image.path;
  spec.modules = {"isofs"};
  const std::string second = std::to_string(image.secondSession);
  spec.steps = {
      {"first", "mount -t iso9660 -o ro /dev/sr0 /mnt && " + TreeChecksumCommand("/mnt") + "; rc=$?; umount /mnt; exit $rc"},
      {"second", "mount -t iso9660 -o ro,sbsector=" + second + " /dev/sr0 /mnt && " + TreeChecksumCommand("/mnt") +
                     "; rc=$?; umount /mnt; exit $rc"},
  };
  const GuestRun run = RunGuest(spec);
  if (run.unavailable) GTEST_SKIP() << "QEMU GUEST UNAVAILABLE: " << run.reason;
  ASSERT_TRUE(run.booted) << run.reason;

  const auto first = HostTreeChecksums((image.dir / "first").string());
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(run["first"].status, 0) << run["first"].err;
  EXPECT_EQ(ParseChecksums(run["first"].out), first) << run["first"].out;

  auto both = first;
  for (const auto& [path, sum] : HostTreeChecksums((image.dir / "second").string())) both[path] = sum;
  ASSERT_EQ(both.size(), 3u);
  EXPECT_EQ(run["second"].status, 0) << run["second"].err;
  EXPECT_EQ(ParseChecksums(run["second"].out), both) << run["second"].out;
}

// Appending with velloran, as a user does it on the virtual recorder: a
// second `burn` carries the first session's files forward, so the kernel,
// which shows a disc's newest session, still shows them; `burn
// --new-session` records a session that shows only its own files.
struct AppendedDisc {
  fs::path dir;
  std::string path;
  std::string kept, alone;  // first blocks of the second and third sessions
  std::string error;
  ~AppendedDisc() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
};

const AppendedDisc& Appended() {
  static AppendedDisc d = [] {
    AppendedDisc d;
    d.dir = fs::temp_directory_path() / ("velloran-qemu-append-" + std::to_string(::getpid()));
    for (const char* folder : {"s1/docs", "s2", "s3"}) fs::create_directories(d.dir / folder);
    {
      std::ofstream(d.dir / "s1" / "a.txt") << "first session\n";
      std::ofstream numbers(d.dir / "s1" / "docs" / "numbers.txt");
      for (int i = 0; i < 20000; ++i) numbers << i << '\n';
      std::ofstream(d.dir / "s2" / "b.txt") << "second session\n";
      std::ofstream(d.dir / "s3" / "c.txt") << "a session of its own\n";
    }
    const std::string velloran = "cd " + ShellQuote(d.dir.string()) + " && VELLORAN_RECORDER_DIR=rec " +
                                 "VELLORAN_RECORDER_TIME_SCALE=0.05 " + ShellQuote(VELLORAN_CLI) + " ";
    auto run = [&](const std::string& args) {
      int rc = -1;
      const std::string out = Capture(velloran + args + " 2>&1", &rc);
      if (rc != 0 && d.error.empty()) d.error = "velloran " + args + ": " + out;
      return out;
    };
    // The start of the newest complete track: the newest session's.
    auto newest = [&] {
      const std::string status = run("recorder status");
      std::string start;
      const std::regex track(R"(Track \d+:\s+session \d+, start (\d+), size \d+, complete)");
      for (std::sregex_iterator it(status.begin(), status.end(), track), end; it != end; ++it) start = (*it)[1];
      return start;
    };
    run("recorder insert cd-r");
    run("burn s1");
    const std::string said = run("burn s2");
    if (d.error.empty() && said.find("Keeping the 2 files already on the disc (session 1).") == std::string::npos)
      d.error = "the second burn did not say it keeps the disc's files: " + said;
    d.kept = newest();
    run("burn --new-session s3");
    d.alone = newest();
    run("recorder export disc.img");
    if (d.error.empty() && (d.kept.empty() || d.alone.empty() || d.kept == d.alone))
      d.error = "the recorder does not list three sessions:\n" + run("recorder status");
    d.path = (d.dir / "disc.img").string();
    return d;
  }();
  return d;
}

TEST(KernelMount, ASecondBurnKeepsTheFirstSessionsFilesAndANewSessionShowsOnlyItsOwn) {
  const auto& disc = Appended();
  ASSERT_EQ(disc.error, "");
  GuestSpec spec;
  spec.bus = Bus::kScsi;
  spec.medium = Medium::kCd;
  spec.image = disc.path;
  spec.modules = {"isofs"};
  spec.steps = {
      {"kept", "mount -t iso9660 -o ro,sbsector=" + disc.kept + " /dev/sr0 /mnt && " + TreeChecksumCommand("/mnt") +
                   "; rc=$?; umount /mnt; exit $rc"},
      {"alone", "mount -t iso9660 -o ro,sbsector=" + disc.alone + " /dev/sr0 /mnt && " +
                    TreeChecksumCommand("/mnt") + "; rc=$?; umount /mnt; exit $rc"},
  };
  const GuestRun run = RunGuest(spec);
  if (run.unavailable) GTEST_SKIP() << "QEMU GUEST UNAVAILABLE: " << run.reason;
  ASSERT_TRUE(run.booted) << run.reason;

  auto both = HostTreeChecksums((disc.dir / "s1").string());
  ASSERT_EQ(both.size(), 2u);
  for (const auto& [path, sum] : HostTreeChecksums((disc.dir / "s2").string())) both[path] = sum;
  ASSERT_EQ(both.size(), 3u);
  EXPECT_EQ(run["kept"].status, 0) << run["kept"].err;
  EXPECT_EQ(ParseChecksums(run["kept"].out), both) << run["kept"].out;
  EXPECT_EQ(run["alone"].status, 0) << run["alone"].err;
  EXPECT_EQ(ParseChecksums(run["alone"].out), HostTreeChecksums((disc.dir / "s3").string())) << run["alone"].out;
}

}  // namespace
}  // namespace velloran::qemu
