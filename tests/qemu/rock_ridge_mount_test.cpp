// Rock Ridge read by the guest kernel's isofs: a CD-R burned on the virtual
// recorder in three sessions, each appended with import, from trees with
// names that differ from their ISO 9660 and Joliet forms (case, 200 bytes,
// ":" and "\"), permissions, owners, times, a symbolic link and a folder
// nine levels deep. Every session, mounted, shows every entry written so
// far as it was given.
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

std::string Velloran(const fs::path& dir, const std::string& args, int* rc) {
  return Capture("cd " + ShellQuote(dir.string()) + " && VELLORAN_RECORDER_DIR=" + ShellQuote((dir / "rec").string()) +
                     " VELLORAN_RECORDER_TIME_SCALE=0.05 " + ShellQuote(VELLORAN_CLI) + " " + args + " 2>&1",
                 rc);
}

void Put(const fs::path& p, const std::string& text, mode_t mode, std::time_t mtime) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text;
  ::chmod(p.c_str(), mode);
  const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
  ::utimensat(AT_FDCWD, p.c_str(), times, 0);
}

// "path|L|target" for a link, "path|mode|mtime|uid" for a file and
// "path|mode" for a folder (its time moves as it fills), as the guest
// prints them below its mount point.
const char* kListCommand =
    "cd /mnt && find . ! -name . | while IFS= read -r f; do "
    "if [ -L \"$f\" ]; then echo \"$f|L|$(readlink \"$f\")\"; "
    "elif [ -d \"$f\" ]; then echo \"$f|$(stat -c %a \"$f\")\"; "
    "else echo \"$f|$(stat -c '%a|%Y|%u' \"$f\")\"; fi; done | sort";

std::string HostListing(const std::vector<fs::path>& roots) {
  std::set<std::string> lines;  // sorted as sort(1) sorts them, byte by byte
  for (const fs::path& root : roots)
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
      struct stat st {};
      ::lstat(it->path().c_str(), &st);
      const std::string rel = "./" + it->path().lexically_relative(root).string();
      std::ostringstream l;
      l << rel << "|";
      if (S_ISLNK(st.st_mode))
        l << "L|" << fs::read_symlink(it->path()).string();
      else if (S_ISDIR(st.st_mode))
        l << std::oct << (st.st_mode & 07777);
      else
        l << std::oct << (st.st_mode & 07777) << std::dec << "|" << st.st_mtime << "|" << st.st_uid;
      lines.insert(l.str());
    }
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

TEST(KernelRockRidge, GuestReadsNamesModesTimesLinksAndDeepFoldersOfEverySession) {
  const fs::path dir = fs::temp_directory_path() / ("velloran-qemu-rr-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  const std::time_t t0 = 1700000000;
  Put(dir / "s1" / "MixedCase.TXT", "case kept\n", 0640, t0);
  Put(dir / "s1" / (std::string(196, 'n') + ".txt"), "200 bytes of name\n", 0600, t0 + 1);
  Put(dir / "s1" / "colon:and\\back", "characters Windows refuses\n", 0755, t0 + 2);
  fs::path deep = dir / "s1";
  for (int i = 1; i <= 9; ++i) deep /= "level" + std::to_string(i);
  Put(deep / "deep.txt", "nine folders down\n", 0644, t0 + 3);
  fs::create_symlink("MixedCase.TXT", dir / "s1" / "link");
  Put(dir / "s2" / "Second.txt", "session two\n", 0604, t0 + 4);
  Put(dir / "s3" / "third" / "Third.TXT", "session three\n", 0644, t0 + 5);
  for (const char* d : {"s1/level1", "s3/third"}) ::chmod((dir / d).c_str(), 0750);

  int rc = -1;
  std::string log = Velloran(dir, "recorder insert cd-r", &rc);
  ASSERT_EQ(rc, 0) << log;
  for (const char* s : {"s1", "s2", "s3"}) {
    log = Velloran(dir, std::string("burn --links --keep-owners ") + (s[1] == '1' ? "" : "--import last ") + s, &rc);
    ASSERT_EQ(rc, 0) << s << ": " << log;
  }
  log = Velloran(dir, "recorder export disc.img", &rc);
  ASSERT_EQ(rc, 0) << log;
  const std::string status = Velloran(dir, "recorder status", &rc);
  std::vector<std::string> starts = {"0"};
  for (const char* s : {"session 2, start ", "session 3, start "}) {
    const auto at = status.find(s);
    ASSERT_NE(at, std::string::npos) << status;
    starts.push_back(std::to_string(std::stoul(status.substr(at + std::string(s).size()))));
  }
  const std::string want[3] = {HostListing({dir / "s1"}), HostListing({dir / "s1", dir / "s2"}),
                               HostListing({dir / "s1", dir / "s2", dir / "s3"})};

  GuestSpec spec;
  spec.bus = Bus::kIde;
  spec.medium = Medium::kCd;
  spec.image = (dir / "disc.img").string();
  spec.modules = {"isofs"};
  for (int i = 0; i < 3; ++i)
    spec.steps.push_back({"session" + std::to_string(i + 1),
                          "mount -t iso9660 -o ro,sbsector=" + starts[i] + " /dev/sr0 /mnt && (" + kListCommand +
                              "); rc=$?; umount /mnt; exit $rc"});
  const GuestRun run = RunGuest(spec);
  fs::remove_all(dir);
  if (run.unavailable) GTEST_SKIP() << "QEMU GUEST UNAVAILABLE: " << run.reason;
  ASSERT_TRUE(run.booted) << run.reason;
  for (int i = 0; i < 3; ++i) {
    const StepResult& r = run["session" + std::to_string(i + 1)];
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want[i]) << "session " << i + 1;
  }
}

}  // namespace
}  // namespace velloran::qemu
