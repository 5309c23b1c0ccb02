// Names the disc cannot hold as Linux gives them, read by the guest kernel's
// isofs: a disc burned on the virtual recorder from a tree with names that
// differ only in case, a name of 150 characters, "\" and the characters
// Joliet forbids, under a destination given as "./docs". Mounted with
// Joliet, every file is where the renames put it, with its content; mounted
// without, every file is there once under its ISO 9660 name. The files'
// dates, taken in a zone with daylight saving time, come back as the same
// moments in both seasons. A second session, appended with import, adds a
// file named like a folder of the first: both are there.
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

// Runs the velloran program with a recorder folder of the test's own.
std::string Velloran(const fs::path& dir, const std::string& args, int* rc) {
  return Capture("cd " + ShellQuote(dir.string()) + " && TZ='CET-1CEST,M3.5.0,M10.5.0/3' VELLORAN_RECORDER_DIR=" +
                     ShellQuote((dir / "rec").string()) + " VELLORAN_RECORDER_TIME_SCALE=0.05 " +
                     ShellQuote(VELLORAN_CLI) + " " + args + " 2>&1",
                 rc);
}

std::string Md5(const fs::path& file) {
  // From stdin: md5sum would escape a name holding "\".
  return Capture("md5sum < " + ShellQuote(file.string())).substr(0, 32);
}

TEST(KernelNames, GuestReadsEveryRenamedFileAndItsDateInEachSession) {
  const fs::path dir = fs::temp_directory_path() / ("velloran-qemu-names-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  std::map<std::string, std::string> first;    // Joliet path -> checksum, session 1
  std::map<std::string, std::time_t> wantTime;  // Joliet path -> modification time
  for (const Source& s : Sources()) {
    const fs::path p = dir / "src" / s.path;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "content of " << s.path << "\n";
    const struct timespec times[2] = {{s.mtime, 0}, {s.mtime, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
    first["docs/" + s.onDisc] = Md5(p);
    wantTime["./docs/" + s.onDisc] = s.mtime;
  }
  // Session 1: the tree under "./docs" and a folder "photos"; session 2,
  // appended with import: a new file named "photos".
  fs::create_directories(dir / "photos");
  std::ofstream(dir / "photos" / "beach.jpg") << "sand\n";
  std::ofstream(dir / "newphotos") << "a file now\n";
  first["photos/beach.jpg"] = Md5(dir / "photos" / "beach.jpg");
  int rc = -1;
  std::string log = Velloran(dir, "recorder insert cd-r", &rc);
  ASSERT_EQ(rc, 0) << log;
  log = Velloran(dir, "burn ./docs=src photos=photos", &rc);
  ASSERT_EQ(rc, 0) << log;
  log = Velloran(dir, "burn --import last photos=newphotos", &rc);
  ASSERT_EQ(rc, 0) << log;
  log = Velloran(dir, "recorder export disc.img", &rc);
  ASSERT_EQ(rc, 0) << log;
  const std::string status = Velloran(dir, "recorder status", &rc);
  const auto at = status.find("session 2, start ");
  ASSERT_NE(at, std::string::npos) << status;
  const std::string second = std::to_string(std::stoul(status.substr(at + 17)));
  auto both = first;
  both["photos~1"] = Md5(dir / "newphotos");

  GuestSpec spec;
  spec.bus = Bus::kIde;
  spec.medium = Medium::kCd;
  spec.image = (dir / "disc.img").string();
  spec.modules = {"isofs"};
  // Without Rock Ridge, which would show the names as given.
  const std::string mountFirst = "mount -t iso9660 -o ro,norock /dev/sr0 /mnt && ";
  const std::string done = "; rc=$?; umount /mnt; exit $rc";
  spec.steps = {
      {"joliet", mountFirst + TreeChecksumCommand("/mnt") + done},
      {"dates", mountFirst + "(cd /mnt && find ./docs -type f -exec stat -c '%Y %n' {} +)" + done},
      {"iso", "mount -t iso9660 -o ro,nojoliet,norock /dev/sr0 /mnt && " + TreeChecksumCommand("/mnt") + done},
      {"second", "mount -t iso9660 -o ro,norock,sbsector=" + second + " /dev/sr0 /mnt && " + TreeChecksumCommand("/mnt") + done},
  };
  const GuestRun run = RunGuest(spec);
  fs::remove_all(dir);
  if (run.unavailable) GTEST_SKIP() << "QEMU GUEST UNAVAILABLE: " << run.reason;
  ASSERT_TRUE(run.booted) << run.reason;

  EXPECT_EQ(run["joliet"].status, 0) << run["joliet"].err;
  EXPECT_EQ(ParseChecksums(run["joliet"].out), first) << run["joliet"].out;

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
  for (const auto& [p, sum] : first) wantSums.insert(sum);
  for (const auto& [p, sum] : ParseChecksums(run["iso"].out)) gotSums.insert(sum);
  EXPECT_EQ(gotSums, wantSums) << run["iso"].out;

  // The appended session keeps the earlier folder beside the new file.
  EXPECT_EQ(run["second"].status, 0) << run["second"].err;
  EXPECT_EQ(ParseChecksums(run["second"].out), both) << run["second"].out;
}

}  // namespace
}  // namespace velloran::qemu
