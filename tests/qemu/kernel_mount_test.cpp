// The guest's own ISO 9660 reader (isofs) on a disc image: the harness loads
// the module, the kernel mounts /dev/sr0, and every file must match its
// source. The image has two sessions, as a multi-session disc has: a plain
// mount reads the first one (QEMU's drive reports a single-session TOC), and
// sbsector= the second, which lists the first session's file beside its own.
//
// Tests that burn a disc and read it back in the guest use the same pieces:
// GuestSpec::modules, TreeChecksumCommand and HostTreeChecksums.
#include "guest_run.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
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

}  // namespace
}  // namespace velloran::qemu
