// Who holds a drive: the mount table parser, the scan of other processes'
// descriptors (real child processes, and a made-up /proc for what a test
// cannot arrange) and the sentences that name them.
#include "platform/drive_use.h"

#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using namespace velloran::platform;

namespace {

TEST(MountInfo, ParsesTheFieldsAroundTheOptionalOnes) {
  const std::string text =
      "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
      "98 22 11:0 / /media/ann/MY\\040BACKUP rw,nosuid shared:50 master:3 - iso9660 /dev/sr0 ro,uid=1000\n"
      "99 22 11:1 /sub /mnt/tab\\011and\\134slash ro - udf /dev/sr1 ro\n"
      "100 22 0:45 / /proc rw - proc proc rw\n";
  const auto m = ParseMountInfo(text);
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0].major, 8u);
  EXPECT_EQ(m[0].minor, 2u);
  EXPECT_EQ(m[0].mountPoint, "/");
  EXPECT_EQ(m[1].major, 11u);
  EXPECT_EQ(m[1].mountPoint, "/media/ann/MY BACKUP");
  EXPECT_EQ(m[1].fsType, "iso9660");
  EXPECT_EQ(m[1].source, "/dev/sr0");
  EXPECT_EQ(m[2].mountPoint, "/mnt/tab\tand\\slash");
  EXPECT_EQ(m[2].minor, 1u);
  EXPECT_EQ(m[3].fsType, "proc");
}

TEST(MountInfo, SkipsLinesWithoutTheExpectedShape) {
  const char* bad[] = {
      "",
      "22 1 8:2 / / rw",                                 // too short
      "22 1 8-2 / / rw shared:1 - ext4 /dev/sda2 rw",    // no MAJOR:MINOR
      "22 1 8:x / / rw shared:1 - ext4 /dev/sda2 rw",    // not a number
      "22 1 :2 / / rw shared:1 - ext4 /dev/sda2 rw",
      "22 1 8:2 / / rw a b c d e f",                     // no separator
      "22 1 8:2 / / rw shared:1 a b c -  ext4",          // nothing after the type
      "22 1 99999999999:2 / / rw x - ext4 /dev/sda2 rw",  // out of range
  };
  for (const char* line : bad) EXPECT_TRUE(ParseMountInfo(line).empty()) << line;
  // A bad line does not hide the good ones around it.
  EXPECT_EQ(ParseMountInfo(std::string(bad[2]) + "\n22 1 8:2 / / rw - ext4 /dev/sda2 rw\n\n").size(), 1u);
}

TEST(MountInfo, DecodesOnlyWellFormedEscapes) {
  EXPECT_EQ(DecodeMountField("a\\040b"), "a b");
  EXPECT_EQ(DecodeMountField("\\134"), "\\");
  EXPECT_EQ(DecodeMountField("end\\04"), "end\\04");  // cut short
  EXPECT_EQ(DecodeMountField("\\400"), "\\400");      // above one byte
  EXPECT_EQ(DecodeMountField("\\08x"), "\\08x");
}

class DriveUseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velloran-use-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    node_ = (dir_ / "node").string();
    std::ofstream(node_) << "drive";
  }
  void TearDown() override {
    for (pid_t p : children_) {
      ::kill(p, SIGKILL);
      ::waitpid(p, nullptr, 0);
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // A child that holds `path` open (as its stdin) and sleeps.
  pid_t Holder(const std::string& path) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int fd = ::open(path.c_str(), O_RDONLY);
      if (fd < 0) ::_exit(127);
      ::dup2(fd, 0);
      ::execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    children_.push_back(pid);
    // Wait until the child runs sleep with the file open.
    for (int i = 0; i < 200; ++i) {
      std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
      std::string name;
      std::getline(comm, name);
      struct stat a {}, b {};
      if (name == "sleep" && ::stat(("/proc/" + std::to_string(pid) + "/fd/0").c_str(), &a) == 0 &&
          ::stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid;
  }

  fs::path dir_;
  std::string node_;
  std::vector<pid_t> children_;
};

TEST_F(DriveUseTest, NamesOtherProcessesThatHoldTheNodeButNeverThisOne) {
  const int mine = ::open(node_.c_str(), O_RDONLY | O_CLOEXEC);  // this process holds it too
  ASSERT_GE(mine, 0);
  EXPECT_FALSE(FindDriveUse(node_).Any());

  const pid_t a = Holder(node_);
  Holder("/dev/null");  // holds something else
  const pid_t b = Holder(node_);
  const DriveUse use = FindDriveUse(node_);
  ::close(mine);
  ASSERT_EQ(use.holders.size(), 2u);
  EXPECT_EQ(use.holders[0].pid, std::min(a, b));
  EXPECT_EQ(use.holders[1].pid, std::max(a, b));
  EXPECT_EQ(use.holders[0].name, "sleep");
  EXPECT_TRUE(use.mountPoints.empty());
  EXPECT_FALSE(use.claimedExclusively);  // a regular file has no exclusive claim
  EXPECT_EQ(DescribeDriveUse(use, "D:"), "D: is in use by process " + std::to_string(use.holders[0].pid) +
                                             " (sleep) and process " + std::to_string(use.holders[1].pid) + " (sleep)");
  // A link to the node is the same drive.
  fs::create_symlink(node_, dir_ / "cdrom");
  EXPECT_EQ(FindDriveUse((dir_ / "cdrom").string()).holders.size(), 2u);
  EXPECT_FALSE(FindDriveUse((dir_ / "missing").string()).Any());
}

// A /proc of the test's own making: what the scan passes over, and mounts of
// a device the test cannot mount.
TEST_F(DriveUseTest, PassesOverWhatItMayNotSeeInAMadeUpProc) {
  const fs::path proc = dir_ / "proc";
  auto process = [&](const std::string& pid, const std::string& comm) {
    fs::create_directories(proc / pid / "fd");
    if (!comm.empty()) std::ofstream(proc / pid / "comm") << comm;
    return proc / pid / "fd";
  };
  fs::create_symlink(node_, process("4242", "brasero\n") / "7");
  fs::create_symlink("/nonexistent", process("4242", "") / "8");     // a deleted file
  fs::create_symlink(node_, process("5000", "evil\x1b[2J\n") / "3");  // terminal escapes in its name
  fs::create_symlink(node_, process("77", "") / "notanfd");
  fs::create_directories(proc / "88");                                 // no fd folder to read
  fs::create_symlink(node_, process("self", "velloran\n") / "1");      // not a process number
  fs::create_symlink(node_, process("99", "velloran\n") / "1");        // this process
  DriveUseOptions o;
  o.procRoot = proc.string();
  o.selfPid = 99;
  const DriveUse use = FindDriveUse(node_, o);
  ASSERT_EQ(use.holders.size(), 2u);
  EXPECT_EQ(use.holders[0].pid, 4242);
  EXPECT_EQ(use.holders[0].name, "brasero");
  EXPECT_EQ(use.holders[1].pid, 5000);
  EXPECT_EQ(use.holders[1].name, "evil?[2J");

  // Mounts are matched by device number: any block device of this machine
  // serves, with a mount table that says it is mounted twice.
  std::string blockDevice;
  if (DIR* d = ::opendir("/dev")) {
    while (const dirent* e = ::readdir(d)) {
      struct stat st {};
      const std::string p = std::string("/dev/") + e->d_name;
      if (::stat(p.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        blockDevice = p;
        std::ofstream(proc / "self" / "mountinfo")
            << "22 1 8:2 / / rw - ext4 /dev/sda2 rw\n"
            << "98 22 " << ::major(st.st_rdev) << ":" << ::minor(st.st_rdev)
            << " / /media/ann/MY\\040DISC ro - iso9660 " << p << " ro\n"
            << "99 22 " << ::major(st.st_rdev) << ":" << ::minor(st.st_rdev) << " / /mnt ro - iso9660 " << p
            << " ro\n";
        break;
      }
    }
    ::closedir(d);
  }
  if (blockDevice.empty()) GTEST_SKIP() << "no block device node on this machine to match mounts against";
  o.probeExclusive = false;  // never open a device of this machine
  const DriveUse mounted = FindDriveUse(blockDevice, o);
  EXPECT_EQ(mounted.mountPoints, (std::vector<std::string>{"/media/ann/MY DISC", "/mnt"}));
  EXPECT_EQ(DescribeDriveUse(mounted, "D:"),
            "The disc in D: is mounted at /media/ann/MY DISC and /mnt: unmount it first "
            "(umount '/media/ann/MY DISC' /mnt)");
}

struct SentenceCase {
  DriveUse use;
  const char* drive;
  const char* expected;
};

TEST(DriveUseText, NamesTheMountBeforeTheProcessesAndQuotesForTheShell) {
  DriveUse mounted;
  mounted.mountPoints = {"/media/ann/BACKUP"};
  mounted.holders = {{4242, "brasero"}};
  DriveUse quoted;
  quoted.mountPoints = {"/media/ann/it's mine"};
  DriveUse one;
  one.holders = {{4242, "brasero"}};
  DriveUse three;
  three.holders = {{1, "a"}, {2, "b"}, {3, "c"}};
  DriveUse hidden;
  hidden.claimedExclusively = true;
  const SentenceCase cases[] = {
      {mounted, "D:",
       "The disc in D: is mounted at /media/ann/BACKUP: unmount it first (umount /media/ann/BACKUP)"},
      {quoted, "D:", "The disc in D: is mounted at /media/ann/it's mine: unmount it first "
                     "(umount '/media/ann/it'\\''s mine')"},
      {one, "D:", "D: is in use by process 4242 (brasero)"},
      {one, "drive 0:0:0", "Drive 0:0:0 is in use by process 4242 (brasero)"},
      {three, "E:", "E: is in use by process 1 (a), process 2 (b) and process 3 (c)"},
      {hidden, "D:", "D: is in use by another program, which holds it exclusively"},
      {DriveUse{}, "D:", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(DescribeDriveUse(c.use, c.drive), c.expected);
}

}  // namespace
