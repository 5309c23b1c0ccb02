// Names the disc cannot hold as Linux gives them, read by the guest kernel's
// isofs: an image saved by `velloran save-iso` from a tree with names that
// differ only in case, a name of 150 characters, "\" and the characters
// Joliet forbids, under a destination given as "./docs". Mounted with
// Joliet, every file is where the renames put it, with its content; mounted
// without, every file is there once under its ISO 9660 name. The files'
// dates, taken in a zone with daylight saving time, come back as the same
// moments in both seasons.
#include "guest_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace velloran::qemu {
namespace {

namespace fs = std::filesystem;

struct Source {
  std::string path;     // below the source folder
  std::string onDisc;   // Joliet path below /docs
  std::time_t mtime;
};

std::vector<Source> Sources() {
  const std::time_t winter = 1705320000;  // 2024-01-15 12:00 UTC
  const std::time_t summer = 1721044800;  // 2024-07-15 12:00 UTC
  return {
      {"readme.txt", "readme~1.txt", winter},
      {"ReadMe.txt", "ReadMe.txt", summer},
      {"CaseDir/one.txt", "CaseDir/one.txt", winter},
      {"casedir/two.txt", "casedir~1/two.txt", summer},
      {std::string(146, 'L') + ".txt", std::string(104, 'L') + "~1.txt", winter},
      {"x\\y/inner.txt", "x_y/inner.txt", summer},
      {"x/y/deep.txt", "x/y/deep.txt", winter},
      {"a:b.txt", "a_b.txt", summer},
      {"what?.txt", "what_.txt", winter},
      {"semi;colon.txt", "semi_colon.txt", summer},
  };
}

TEST(KernelNames, GuestReadsEveryRenamedFileAndItsDate) {
  const fs::path dir = fs::temp_directory_path() / ("velloran-qemu-names-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  std::map<std::string, std::string> want;        // Joliet path -> checksum
  std::map<std::string, std::time_t> wantTime;    // Joliet path -> modification time
  for (const Source& s : Sources()) {
    const fs::path p = dir / "src" / s.path;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "content of " << s.path << "\n";
    const struct timespec times[2] = {{s.mtime, 0}, {s.mtime, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
    want["docs/" + s.onDisc] = "";
    wantTime["./docs/" + s.onDisc] = s.mtime;
  }
  // Checksums of the sources, under the names the disc gives them (read
  // from stdin: md5sum would escape a name holding "\").
  for (const Source& s : Sources())
    want["docs/" + s.onDisc] = Capture("md5sum < " + ShellQuote((dir / "src" / s.path).string())).substr(0, 32);
  const std::string image = (dir / "names.iso").string();
  int rc = -1;
  const std::string log = Capture("TZ='CET-1CEST,M3.5.0,M10.5.0/3' " + ShellQuote(VELLORAN_CLI) + " save-iso " +
                                      ShellQuote(image) + " ./docs=" + ShellQuote((dir / "src").string()) + " 2>&1",
                                  &rc);
  ASSERT_EQ(rc, 0) << log;

  GuestSpec spec;
  spec.bus = Bus::kIde;
  spec.medium = Medium::kCd;
  spec.image = image;
  spec.modules = {"isofs"};
  spec.steps = {
      {"joliet", "mount -t iso9660 -o ro /dev/sr0 /mnt && " + TreeChecksumCommand("/mnt") +
                     "; rc=$?; umount /mnt; exit $rc"},
      {"dates", "mount -t iso9660 -o ro /dev/sr0 /mnt && (cd /mnt && find . -type f -exec stat -c '%Y %n' {} +)"
                "; rc=$?; umount /mnt; exit $rc"},
      {"iso", "mount -t iso9660 -o ro,nojoliet /dev/sr0 /mnt && " + TreeChecksumCommand("/mnt") +
                  "; rc=$?; umount /mnt; exit $rc"},
  };
  const GuestRun run = RunGuest(spec);
  fs::remove_all(dir);
  if (run.unavailable) GTEST_SKIP() << "QEMU GUEST UNAVAILABLE: " << run.reason;
  ASSERT_TRUE(run.booted) << run.reason;

  EXPECT_EQ(run["joliet"].status, 0) << run["joliet"].err;
  EXPECT_EQ(ParseChecksums(run["joliet"].out), want) << run["joliet"].out;

  EXPECT_EQ(run["dates"].status, 0) << run["dates"].err;
  std::map<std::string, std::time_t> gotTime;
  std::istringstream in(run["dates"].out);
  std::time_t t;
  std::string path;
  while (in >> t && std::getline(in >> std::ws, path)) gotTime[path] = t;
  EXPECT_EQ(gotTime, wantTime) << run["dates"].out;

  // Without Joliet: the same files, once each, under ISO 9660 names.
  EXPECT_EQ(run["iso"].status, 0) << run["iso"].err;
  std::multiset<std::string> wantSums, gotSums;
  for (const auto& [p, sum] : want) wantSums.insert(sum);
  for (const auto& [p, sum] : ParseChecksums(run["iso"].out)) gotSums.insert(sum);
  EXPECT_EQ(gotSums, wantSums) << run["iso"].out;
}

}  // namespace
}  // namespace velloran::qemu
