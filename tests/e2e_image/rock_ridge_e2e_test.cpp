// Rock Ridge read back by readers no one here wrote (xorriso, isoinfo -R,
// pycdlib): names as given, permissions, owners, times to the second,
// symbolic links and directories below ISO 9660's eight levels. Images are
// saved through the burner component, as every front end saves them.
#include "image/zbCDBC.h"

#include "e2e_image/shell.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace velloran::image {
namespace {

namespace fs = std::filesystem;

using e2e::Have;
using e2e::PythonWithPycdlib;
using e2e::Quote;
using e2e::ReadFile;
using e2e::RunResult;
using e2e::Shell;

void Put(const fs::path& p, const std::string& content, mode_t mode, std::time_t mtime) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
  ::chmod(p.c_str(), mode);
  const struct timespec times[2] = {{mtime - 3600, 0}, {mtime, 0}};
  ::utimensat(AT_FDCWD, p.c_str(), times, 0);
}

// What a reader must give back for one path: kind and content (file data
// or link target), permission bits and modification time.
struct Node {
  char kind = 'f';  // f, d, l
  std::string content;
  unsigned mode = 0;
  std::time_t mtime = 0;
  bool operator==(const Node&) const = default;
};
using Tree = std::map<std::string, Node>;

std::ostream& operator<<(std::ostream& o, const Node& n) {
  return o << n.kind << " " << std::oct << n.mode << std::dec << " t=" << n.mtime << " [" << n.content.substr(0, 40)
           << "]";
}

// The tree below root as lstat sees it; modes as the disc records them
// (owners dropped: readable by everyone, directories searchable).
Tree Walk(const fs::path& root, bool asRecorded) {
  Tree t;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    struct stat st {};
    ::lstat(it->path().c_str(), &st);
    Node n;
    n.mode = st.st_mode & 07777;
    n.mtime = st.st_mtime;
    if (S_ISLNK(st.st_mode)) {
      n.kind = 'l';
      n.content = fs::read_symlink(it->path()).string();
      n.mode = 0777;
      n.mtime = 0;  // extraction gives links the time of extraction
    } else if (S_ISDIR(st.st_mode)) {
      n.kind = 'd';
      if (asRecorded) n.mode |= 0555;
    } else {
      n.content = ReadFile(it->path());
      if (asRecorded) n.mode |= 0444;
    }
    t["/" + fs::relative(it->path(), root).string()] = n;
  }
  return t;
}

std::string Diff(const Tree& want, const Tree& got) {
  std::ostringstream s;
  int shown = 0;
  for (const auto& [p, n] : want) {
    auto it = got.find(p);
    if (it == got.end()) {
      if (shown++ < 8) s << "missing " << p << "\n";
    } else if (!(it->second == n)) {
      if (shown++ < 8) s << "differs " << p << ": want " << n << ", got " << it->second << "\n";
    }
  }
  for (const auto& [p, n] : got)
    if (!want.count(p) && shown++ < 12) s << "unexpected " << p << "\n";
  return s.str();
}

// A link target of 971 bytes whose longest components (255 bytes) do not
// fit one SL entry.
std::string LongTarget() {
  const std::string x(255, 'x'), y(255, 'y');
  return "../" + x + "/" + y + "/./" + x + "/" + std::string(198, 'z');
}

class RockRidgeImage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    base_ = fs::temp_directory_path() / ("vl_rr_e2e_" + std::to_string(::getpid()));
    fs::remove_all(base_);
    src_ = base_ / "src";
    const std::time_t t0 = 1580702706;  // 2020-02-03 04:05:06 UTC
    Put(src_ / "MixedCase.TXT", "case kept", 0644, t0);
    Put(src_ / (std::string(196, 'n') + ".txt"), "a 200-byte name", 0640, t0 + 1);
    Put(src_ / "colon:and\\backslash", "characters Windows names refuse", 0600, t0 + 2);
    Put(src_ / "README", "no extension", 0755, t0 + 3);
    Put(src_ / "private" / "secret.txt", "owner only", 0600, t0 + 4);
    // An owner other than the one running the test, where it can be given.
    owner_ = ::geteuid() == 0 && ::chown((src_ / "private" / "secret.txt").c_str(), 1234, 2345) == 0 ? 1234 : ::geteuid();
    fs::path deep = src_;
    for (int i = 1; i <= 10; ++i) deep /= "level" + std::to_string(i);
    Put(deep / "bottom.txt", "eleven levels down", 0644, t0 + 5);
    // Enough long names that one directory's records fill several sectors
    // and their continuation areas more than one.
    for (int i = 0; i < 60; ++i)
      Put(src_ / "wide" / (std::to_string(i) + std::string(180, 'w')), std::to_string(i), 0644, t0 + 6);
    fs::create_symlink("MixedCase.TXT", src_ / "relative link");
    fs::create_symlink("/usr/../etc/./hostname", src_ / "absolute link");
    fs::create_symlink(LongTarget(), src_ / "private" / "long link");
    // Longer targets than readers take are left out (and reported).
    std::string tooLong;
    while (tooLong.size() < 1024) tooLong += "z/";
    fs::create_symlink(tooLong, src_ / "too long link");
    // Directories last: adding files changed their times.
    for (auto& d : {src_ / "private", src_ / "wide", src_ / "level1"}) {
      ::chmod(d.c_str(), d.filename() == "private" ? 0700 : 0755);
      const struct timespec times[2] = {{t0, 0}, {t0 + 7, 0}};
      ::utimensat(AT_FDCWD, d.c_str(), times, 0);
    }
    image_ = base_ / "rr.iso";
    saved_ = Save(image_, true);
    plainImage_ = base_ / "plain-owners.iso";
    savedPlain_ = Save(plainImage_, false);
  }
  static void TearDownTestSuite() { fs::remove_all(base_); }

  static std::string Save(const fs::path& out, bool keepOwners) {
    TZCDBurner b;
    b.RockRidge = true;
    b.RockRidgeKeepOwners = keepOwners;
    b.SetRockRidgeLinks(true);
    b.IdVolume = "RR";
    std::string done = "not ended";
    b.OnWriteDone = [&](drive::TObject*, const std::string& e) { done = e; };
    if (b.AddFolder(b.RootDir(), src_.string() + "/", false, false, true, platform::faAnyFile, "*.*") == 0)
      return "AddFolder failed";
    const auto& skipped = b.Tree().Skipped();
    if (skipped.size() != 1 || skipped[0].Source.find("too long link") == std::string::npos)
      return "the link with too long a target was not reported as left out: " + std::to_string(skipped.size()) + (skipped.empty() ? std::string() : skipped[0].Source + " " + skipped[0].Why);
    if (b.SaveImageFile(out.string(), true) != 1) return "SaveImageFile failed: " + done;
    return done;
  }

  // Directories' times move when their contents are written: compared for
  // files and links only, where extraction sets them last.
  static Tree WithoutDirTimes(Tree t) {
    for (auto& [p, n] : t)
      if (n.kind == 'd') n.mtime = 0;
    return t;
  }

  static inline fs::path base_, src_, image_, plainImage_;
  static inline std::string saved_, savedPlain_;
  static inline unsigned owner_ = 0;
};

TEST_F(RockRidgeImage, XorrisoRestoresNamesModesTimesAndLinks) {
  if (!Have("xorriso")) GTEST_SKIP() << "xorriso is not installed (Debian package xorriso)";
  for (const bool keepOwners : {true, false}) {
    SCOPED_TRACE(keepOwners ? "owners kept" : "owners dropped");
    ASSERT_EQ(keepOwners ? saved_ : savedPlain_, "");
    const fs::path out = base_ / (keepOwners ? "x-kept" : "x-plain");
    const RunResult r = Shell("xorriso -abort_on FAILURE -osirrox on -indev " +
                              Quote((keepOwners ? image_ : plainImage_).string()) + " -extract / " + Quote(out.string()));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("SORRY"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
    Tree want = WithoutDirTimes(Walk(src_, !keepOwners));
    const Tree got = WithoutDirTimes(Walk(out, false));
    ASSERT_EQ(want.erase("/too long link"), 1u);
    EXPECT_EQ(want.size(), got.size());
    EXPECT_TRUE(want == got) << Diff(want, got);
    // Owners: as found, or root's.
    const RunResult owners = Shell("xorriso -indev " + Quote((keepOwners ? image_ : plainImage_).string()) +
                                   " -find /private -exec lsdl 2>/dev/null");
    const std::string owner = keepOwners ? std::to_string(owner_) : "0";
    const auto at = owners.out.find("secret.txt");
    ASSERT_NE(at, std::string::npos) << owners.out;
    const std::string line = owners.out.substr(owners.out.rfind('\n', at) + 1, at - owners.out.rfind('\n', at));
    EXPECT_NE(line.find(" " + owner + " "), std::string::npos) << line;
    fs::remove_all(out);
  }
}

TEST_F(RockRidgeImage, IsoinfoListsRockRidgeNamesModesAndLinks) {
  if (!Have("isoinfo")) GTEST_SKIP() << "isoinfo is not installed (Debian package genisoimage)";
  ASSERT_EQ(saved_, "");
  const RunResult r = Shell("isoinfo -R -l -i " + Quote(image_.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  // "Directory listing of /dir/" then "mode links uid gid size date [lba flags]  name[ -> target]".
  std::map<std::string, std::string> listed;  // path -> mode string (+ " -> target")
  std::string dir;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Directory listing of ", 0) == 0) {
      dir = line.substr(21);
      continue;
    }
    const auto close = line.find("]  ");
    if (line.size() < 10 || close == std::string::npos) continue;
    std::string name = line.substr(close + 3);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (name == "." || name == "..") continue;
    std::string target;
    if (const auto arrow = name.find(" -> "); arrow != std::string::npos) {
      target = name.substr(arrow);
      name.resize(arrow);
    }
    listed[dir + name] = line.substr(0, 10) + target;
  }
  // isoinfo lists a moved directory where the disc keeps it.
  const std::string deep = "/.rr_moved/level8/level9/level10/";
  const std::map<std::string, std::string> want = {
      {"/MixedCase.TXT", "-rw-r--r--"},
      {"/" + std::string(196, 'n') + ".txt", "-rw-r-----"},
      {"/colon:and\\backslash", "-rw-------"},
      {"/README", "-rwxr-xr-x"},
      {"/private/", "drwx------"},
      {"/relative link", "lrwxrwxrwx -> MixedCase.TXT"},
      {"/absolute link", "lrwxrwxrwx -> /usr/../etc/./hostname"},
      {deep + "bottom.txt", "-rw-r--r--"},
  };
  for (const auto& [path, mode] : want) {
    // isoinfo lists a folder by its contents' heading and by its entry.
    const std::string key = path.back() == '/' ? path.substr(0, path.size() - 1) : path;
    auto it = listed.find(key);
    if (path.back() == '/' && it == listed.end()) it = listed.find(key.substr(key.rfind('/')));
    ASSERT_NE(it, listed.end()) << path << "\n" << r.out.substr(0, 3000);
    EXPECT_EQ(it->second, mode) << path;
  }
}

TEST_F(RockRidgeImage, PycdlibReadsRockRidgeNamesModesLinksAndData) {
  const std::string python = PythonWithPycdlib();
  if (python.empty()) GTEST_SKIP() << "pycdlib is not installed (python3-pycdlib)";
  ASSERT_EQ(saved_, "");
  const fs::path script = base_ / "rr.py";
  std::ofstream(script) << "import io, sys, pycdlib\n"
                           "iso = pycdlib.PyCdlib(); iso.open(sys.argv[1])\n"
                           "assert iso.has_rock_ridge()\n"
                           "seen = set()\n"
                           "for top, dirs, files in iso.walk(rr_path='/'):\n"
                           "    for f in files:\n"
                           "        p = top.rstrip('/') + '/' + f\n"
                           "        if p in seen: continue\n"
                           "        seen.add(p)\n"
                           "        rr = iso.get_record(rr_path=p).rock_ridge\n"
                           "        if rr.is_symlink():\n"
                           "            print('L', oct(rr.get_file_mode()), p, rr.symlink_path().decode())\n"
                           "        else:\n"
                           "            b = io.BytesIO(); iso.get_file_from_iso_fp(b, rr_path=p)\n"
                           "            print('F', oct(rr.get_file_mode()), p, b.getvalue().decode())\n";
  const RunResult r = Shell(python + " " + Quote(script.string()) + " " + Quote(image_.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  std::set<std::string> got;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) got.insert(line);
  // pycdlib walks a moved directory where the disc keeps it, below the
  // relocation folder; the other paths are those of the source.
  const std::string moved = "/.rr_moved/level8/level9/level10/bottom.txt";
  for (const std::string& line : {
           std::string("F 0o100644 /MixedCase.TXT case kept"),
           "F 0o100640 /" + std::string(196, 'n') + ".txt a 200-byte name",
           std::string("F 0o100600 /colon:and\\backslash characters Windows names refuse"),
           std::string("F 0o100755 /README no extension"),
           std::string("L 0o120777 /relative link MixedCase.TXT"),
           std::string("L 0o120777 /absolute link /usr/../etc/./hostname"),
           "L 0o120777 /private/long link " + LongTarget(),
           "F 0o100644 /wide/59" + std::string(180, 'w') + " 59",
           "F 0o100644 " + moved + " eleven levels down",
       })
    EXPECT_TRUE(got.count(line)) << line.substr(0, 120) << "\n" << r.out.substr(0, 2000);
}

}  // namespace
}  // namespace velloran::image
