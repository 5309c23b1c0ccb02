// Rock Ridge kept across sessions: a disc appended twice with import (the
// velloran program on a virtual recorder) still shows every earlier entry's
// name as given, permissions, owner, time and link target, as xorriso reads
// the last session; a session without Rock Ridge imports by its Joliet names.
#include "shell_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Result {
  int code = -1;
  std::string out;
};

class RockRidgeSessions : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velloran-rr-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void Put(const std::string& rel, const std::string& text, mode_t mode, std::time_t mtime) {
    const fs::path p = dir_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
    ::chmod(p.c_str(), mode);
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ::utimensat(AT_FDCWD, p.c_str(), times, 0);
  }
  Result Sh(const std::string& command) {
    ::velloran::test::ShellResult r = ::velloran::test::Shell("cd '" + dir_.string() + "' && { " + command + "; }");
    return Result{r.status, std::move(r.out)};
  }
  Result Run(const std::string& args) {
    return Sh("VELLORAN_RECORDER_DIR='" + (dir_ / "rec").string() + "' VELLORAN_RECORDER_TIME_SCALE=0.05 '" VELLORAN_BIN_DIR
              "/velloran' " + args);
  }
  // Where session n of the disc in the recorder starts ("" when unknown).
  std::string SessionStart(int n) {
    const Result status = Run("recorder status");
    const std::string label = "session " + std::to_string(n) + ", start ";
    const auto at = status.out.find(label);
    if (at == std::string::npos) {
      ADD_FAILURE() << status.out;
      return {};
    }
    return std::to_string(std::stoul(status.out.substr(at + label.size())));
  }
  // "mode mtime path" of every file and "'link' -> 'target'" of every link
  // below folder, sorted.
  std::string Listing(const std::string& folder) {
    return Sh("cd '" + folder + "' && (find . -type f -exec stat -c '%a %Y %n' {} + ; "
              "find . -type l -exec stat -c '%N' {} +) | sort")
        .out;
  }
  fs::path dir_;
};

TEST_F(RockRidgeSessions, ThreeSessionsAppendedWithImportKeepEveryEntrysRockRidge) {
  if (Sh("command -v xorriso").code != 0) GTEST_SKIP() << "xorriso is not installed (Debian package xorriso)";
  const std::time_t t0 = 1600000000;
  Put("s1/Mixed Case.TXT", "one", 0640, t0);
  Put("s1/colon:and\\back", "two", 0600, t0 + 1);
  Put("s1/l1/l2/l3/l4/l5/l6/l7/l8/l9/deep.txt", "nine folders down", 0644, t0 + 2);
  Put("s2/" + std::string(196, 'n') + ".txt", "a 200-byte name", 0755, t0 + 3);
  Put("s3/Third.txt", "three", 0444, t0 + 4);
  fs::create_symlink("Mixed Case.TXT", dir_ / "s1" / "link to mixed");
  fs::create_symlink("../elsewhere/x", dir_ / "s2" / "dangling link");
  // Owners other than the one running the test, where it may give them.
  if (::geteuid() == 0) ::lchown((dir_ / "s2" / (std::string(196, 'n') + ".txt")).c_str(), 1234, 5678);
  ASSERT_EQ(Run("recorder insert cd-r").code, 0);
  for (const char* session : {"s1", "s2", "s3"}) {
    const Result r = Run(std::string("burn --links --keep-owners ") + (session[1] == '1' ? "" : "--import last ") +
                         session);
    ASSERT_EQ(r.code, 0) << session << ": " << r.out;
  }
  ASSERT_EQ(Run("recorder export disc.img").code, 0);
  ASSERT_EQ(Sh("mkdir all && cp -a s1/. s2/. s3/. all/").code, 0);
  const std::string third = SessionStart(3);
  ASSERT_FALSE(third.empty());
  const Result x = Sh("xorriso -abort_on FAILURE -osirrox on -load sbsector " + third +
                      " -indev disc.img -extract / out");
  ASSERT_EQ(x.code, 0) << x.out;
  EXPECT_EQ(x.out.find("SORRY"), std::string::npos) << x.out;
  const std::string want = Listing((dir_ / "all").string()), got = Listing((dir_ / "out").string());
  EXPECT_NE(want.find("deep.txt"), std::string::npos) << want;
  EXPECT_NE(want.find("-> '../elsewhere/x'"), std::string::npos) << want;
  EXPECT_EQ(got, want);

  // pycdlib reads the descriptors at 16 only: it is shown the last
  // session's there, in a copy of the disc.
  if (Sh("/usr/bin/python3 -c 'import pycdlib'").code != 0) return;
  std::ofstream(dir_ / "rr.py") << "import sys, shutil, pycdlib\n"
                                   "shutil.copy('disc.img', 'view.img')\n"
                                   "start = int(sys.argv[1])\n"
                                   "with open('disc.img', 'rb') as s, open('view.img', 'r+b') as d:\n"
                                   "    for i in range(32):\n"
                                   "        s.seek((start + 16 + i) * 2048); b = s.read(2048)\n"
                                   "        d.seek((16 + i) * 2048); d.write(b)\n"
                                   "        if b[0] == 255: break\n"
                                   "iso = pycdlib.PyCdlib(); iso.open('view.img')\n"
                                   "out = []\n"
                                   "for top, dirs, files in iso.walk(rr_path='/'):\n"
                                   "    if '.rr_moved' in top: continue\n"
                                   "    for f in files:\n"
                                   "        p = top.rstrip('/') + '/' + f\n"
                                   "        rr = iso.get_record(rr_path=p).rock_ridge\n"
                                   "        px = rr.dr_entries.px_record or rr.ce_entries.px_record\n"
                                   "        what = rr.symlink_path().decode() if rr.is_symlink() else ''\n"
                                   "        out.append('%o %d:%d .%s %s' % (rr.get_file_mode(), px.posix_user_id,\n"
                                   "                   px.posix_group_id, p, what))\n"
                                   "print('\\n'.join(sorted(out)))\n";
  const Result py = Sh("/usr/bin/python3 rr.py " + third);
  ASSERT_EQ(py.code, 0) << py.out;
  std::string wantPy;
  {
    std::vector<std::string> lines;
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "all")) {
      struct stat st {};
      ::lstat(e.path().c_str(), &st);
      if (S_ISDIR(st.st_mode)) continue;
      std::ostringstream l;
      l << std::oct << st.st_mode << std::dec << " " << st.st_uid << ":" << st.st_gid << " ./"
        << e.path().lexically_relative(dir_ / "all").string() << " "
        << (S_ISLNK(st.st_mode) ? fs::read_symlink(e.path()).string() : std::string());
      lines.push_back(l.str());
    }
    std::sort(lines.begin(), lines.end());
    for (const auto& l : lines) wantPy += l + "\n";
  }
  // Files of deeper folders than eight levels are walked where the disc
  // keeps them (below the relocation folder): left out of both sides.
  std::string wantShallow;
  std::istringstream in(wantPy);
  for (std::string l; std::getline(in, l);)
    if (l.find("/l9/") == std::string::npos) wantShallow += l + "\n";
  EXPECT_EQ(py.out, wantShallow);
}

TEST_F(RockRidgeSessions, ASessionWithoutRockRidgeImportsByItsJolietNames) {
  if (Sh("command -v xorriso").code != 0) GTEST_SKIP() << "xorriso is not installed (Debian package xorriso)";
  Put("s1/Plain Name.txt", "first", 0644, 1600000000);
  Put("s2/Added.txt", "second", 0644, 1600000001);
  ASSERT_EQ(Run("recorder insert cd-r").code, 0);
  Result r = Run("burn --no-rock-ridge s1");
  ASSERT_EQ(r.code, 0) << r.out;
  r = Run("burn --import last s2");
  ASSERT_EQ(r.code, 0) << r.out;
  ASSERT_EQ(Run("recorder export disc.img").code, 0);
  const Result x = Sh("xorriso -abort_on FAILURE -osirrox on -load sbsector " + SessionStart(2) +
                      " -indev disc.img -extract / out && cat 'out/Plain Name.txt' out/Added.txt");
  ASSERT_EQ(x.code, 0) << x.out;
  EXPECT_NE(x.out.find("firstsecond"), std::string::npos) << x.out;
}

}  // namespace
