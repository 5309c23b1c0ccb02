// velloran save-iso end to end: images of varied trees are read back by
// readers no one here wrote (xorriso, 7-Zip, pycdlib, isoinfo, libcdio's
// iso-info) and compared with the source, file by file. A reader that is
// not installed makes its test skip with the reason.
#include "e2e_image/shell.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kVelloran = std::string(VELLORAN_BIN_DIR) + "/velloran";

using velloran::e2e::Have;
using velloran::e2e::PythonWithPycdlib;
using velloran::e2e::Quote;
using velloran::e2e::ReadFile;
using velloran::e2e::RunResult;
using velloran::e2e::Shell;

// Names as readers show them: without ";1" and without trailing dots.
std::string NormName(std::string n) {
  if (n.size() > 2 && n.compare(n.size() - 2, 2, ";1") == 0) n.resize(n.size() - 2);
  while (n.size() > 1 && n.back() == '.') n.pop_back();
  return n;
}

// The name the image holds for a source name: characters outside UCS-2
// (four-byte UTF-8 sequences) are recorded as "_".
std::string ImageName(const std::string& n) {
  std::string out;
  for (std::size_t i = 0; i < n.size();) {
    const auto c = static_cast<unsigned char>(n[i]);
    if ((c & 0xF8) == 0xF0) {
      out += '_';
      i += 4;
    } else {
      out += n[i++];
    }
  }
  return NormName(out);
}

// path -> "d" for a folder, "f:" + content for a file.
using Tree = std::map<std::string, std::string>;

Tree SourceTree(const fs::path& root, bool withContent = true) {
  Tree t;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel;
    for (auto& part : fs::relative(it->path(), root)) rel += "/" + ImageName(part.string());
    if (it->is_directory())
      t[rel] = "d";
    else if (it->is_regular_file())
      t[rel] = withContent ? "f:" + ReadFile(it->path()) : "f";
  }
  return t;
}

Tree ExtractedTree(const fs::path& root, bool withContent = true) {
  Tree t;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel;
    for (auto& part : fs::relative(it->path(), root)) rel += "/" + NormName(part.string());
    t[rel] = it->is_directory() ? "d" : (withContent ? "f:" + ReadFile(it->path()) : "f");
  }
  return t;
}

// First differences, readable.
std::string Diff(const Tree& want, const Tree& got) {
  std::ostringstream s;
  int shown = 0;
  for (auto& [p, v] : want) {
    auto it = got.find(p);
    if (it == got.end()) {
      if (shown++ < 5) s << "missing " << p << "\n";
    } else if (it->second != v) {
      if (shown++ < 5) s << "differs " << p << "\n";
    }
  }
  for (auto& [p, v] : got)
    if (!want.count(p) && shown++ < 10) s << "unexpected " << p << "\n";
  return s.str();
}

class ImageTest : public ::testing::Test {
 protected:
  static fs::path Scratch(const std::string& tag) {
    const fs::path p = fs::temp_directory_path() / ("vl_e2e_" + tag + "_" + std::to_string(::getpid()));
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
  }
  static void Put(const fs::path& p, const std::string& content) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
};

// --- One varied tree, read by each reader ------------------------------------------

class VariedTree : public ImageTest {
 protected:
  static void SetUpTestSuite() {
    base_ = Scratch("varied");
    src_ = base_ / "src";
    fs::path deep = src_;
    for (int i = 1; i <= 10; ++i) deep /= "level " + std::to_string(i);
    Put(deep / "bottom.txt", "at the bottom");
    for (int i = 0; i < 5000; ++i) Put(src_ / "wide" / ("entry number " + std::to_string(i) + ".txt"), std::to_string(i));
    Put(src_ / "empty file.txt", "");
    fs::create_directories(src_ / "empty folder");
    Put(src_ / ".hidden file", "hidden");
    Put(src_ / ".config" / "settings.ini", "[x]");
    Put(src_ / "names with  blanks" / "a b c.txt", "blanks");
    Put(src_ / "caf\xC3\xA9 cr\xC3\xA8me" / "\xC3\xA9t\xC3\xA9 \xC3\xA0 Z\xC3\xBCrich.txt", "accents");
    Put(src_ / "smile \xF0\x9F\x98\x80.txt", "emoji");
    Put(src_ / (std::string(105, 'L') + ".txt"), "109 characters");
    Put(src_ / "README", "no extension");
    Put(src_ / "Makefile", "no extension either");
    std::string binary(3 * 2048 + 17, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 31 + 7);
    Put(src_ / "binary.dat", binary);
    image_ = base_ / "varied.iso";
    // The Joliet and ISO 9660 trees as readers show them: Rock Ridge,
    // which readers prefer where it is, is left out here.
    const RunResult r = Shell(Quote(kVelloran) + " save-iso --no-rock-ridge " + Quote(image_.string()) + " --volume 'Test Disc' " +
                            Quote(src_.string()));
    saveStatus_ = r.status;
    saveOutput_ = r.out;
  }
  static void TearDownTestSuite() { fs::remove_all(base_); }
  void SetUp() override { ASSERT_EQ(saveStatus_, 0) << saveOutput_; }


 public:  // the checks, taken by address in the test body
  void XorrisoExtractsEveryFile();
  void SevenZipExtractsEveryFile();
  void PycdlibReadsEveryFileFromBothNameSpaces();
  void IsoinfoListsEveryPath();
  void LibcdioListsEveryPathWithItsSize();
  void VolumeLabelAndNamesInBothNameSpaces();
  // A reader that is not installed is reported and passed over.
  void Skipped(const std::string& why) {
    std::cout << "[ SKIPPED  ] " << why << "\n";
    ++skipped_;
  }

 protected:
  static fs::path base_, src_, image_;
  static int saveStatus_;
  static std::string saveOutput_;
  std::size_t skipped_ = 0;
};

fs::path VariedTree::base_, VariedTree::src_, VariedTree::image_;
int VariedTree::saveStatus_ = -1;
std::string VariedTree::saveOutput_;

void VariedTree::XorrisoExtractsEveryFile() {
  if (!Have("xorriso")) return Skipped("xorriso is not installed (Debian package xorriso)");
  const fs::path out = base_ / "xorriso";
  const RunResult r = Shell("xorriso -abort_on FAILURE -joliet on -osirrox on -indev " + Quote(image_.string()) +
                          " -extract / " + Quote(out.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("SORRY"), std::string::npos) << r.out;
  const Tree want = SourceTree(src_), got = ExtractedTree(out);
  EXPECT_EQ(want.size(), got.size());
  EXPECT_TRUE(want == got) << Diff(want, got);
  fs::remove_all(out);
}

void VariedTree::SevenZipExtractsEveryFile() {
  const std::string exe = Have("7zz") ? "7zz" : Have("7z") ? "7z" : "";
  if (exe.empty()) return Skipped("7-Zip is not installed (Debian package 7zip)");
  const fs::path out = base_ / "7z";
  const RunResult r = Shell(exe + " x -y -o" + Quote(out.string()) + " " + Quote(image_.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  const Tree want = SourceTree(src_), got = ExtractedTree(out);
  EXPECT_TRUE(want == got) << Diff(want, got);
  fs::remove_all(out);
}

void VariedTree::PycdlibReadsEveryFileFromBothNameSpaces() {
  const std::string python = PythonWithPycdlib();
  if (python.empty()) return Skipped("pycdlib is not installed (python3-pycdlib)");
  const fs::path out = base_ / "pycdlib";
  const fs::path script = base_ / "extract.py";
  Put(script,
      "import os, sys, pycdlib\n"
      "iso = pycdlib.PyCdlib(); iso.open(sys.argv[1]); out = sys.argv[2]\n"
      "assert iso.has_joliet()\n"
      "n = 0\n"
      "for top, dirs, files in iso.walk(joliet_path='/'):\n"
      "    for d in dirs: os.makedirs(out + top.rstrip('/') + '/' + d, exist_ok=True)\n"
      "    for f in files:\n"
      "        os.makedirs(out + top, exist_ok=True)\n"
      "        iso.get_file_from_iso(out + top.rstrip('/') + '/' + f, joliet_path=top.rstrip('/') + '/' + f); n += 1\n"
      "iso_files = sum(len(f) for _, _, f in iso.walk(iso_path='/'))\n"
      "print('files', n, iso_files)\n"
      "sys.exit(0 if n == iso_files else 3)\n");
  fs::create_directories(out);
  const RunResult r = Shell(python + " " + Quote(script.string()) + " " + Quote(image_.string()) + " " + Quote(out.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  const Tree want = SourceTree(src_), got = ExtractedTree(out);
  EXPECT_TRUE(want == got) << Diff(want, got);
  fs::remove_all(out);
}

// Paths listed by a reader, compared with the source's paths.
void ExpectListedPaths(const Tree& source, const std::string& listing, const std::function<bool(std::string&)>& parse) {
  Tree want;
  for (auto& [p, v] : source) want[p] = v == "d" ? "d" : "f";
  Tree got;
  std::istringstream in(listing);
  std::string line;
  while (std::getline(in, line)) {
    if (!parse(line)) continue;
    std::string norm;
    std::size_t pos = 1;
    while (pos <= line.size()) {
      std::size_t end = line.find('/', pos);
      if (end == std::string::npos) end = line.size();
      if (end > pos) norm += "/" + NormName(line.substr(pos, end - pos));
      pos = end + 1;
    }
    if (!norm.empty()) got[norm] = want.count(norm) ? want[norm] : "?";
  }
  EXPECT_TRUE(want == got) << Diff(want, got);
}

void VariedTree::IsoinfoListsEveryPath() {
  if (!Have("isoinfo")) return Skipped("isoinfo is not installed (Debian package genisoimage)");
  // isoinfo shows Joliet names in an 8-bit character set only.
  const RunResult r = Shell("isoinfo -J -j iso8859-1 -f -i " + Quote(image_.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  std::string utf8;
  for (unsigned char c : r.out) {
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  ExpectListedPaths(SourceTree(src_, false), utf8, [](std::string& l) { return !l.empty() && l[0] == '/'; });
}

void VariedTree::LibcdioListsEveryPathWithItsSize() {
  if (!Have("iso-info")) return Skipped("iso-info is not installed (Debian package libcdio-utils)");
  const RunResult r = Shell("iso-info --no-header -f -i " + Quote(image_.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("WARN"), std::string::npos) << r.out.substr(0, 2000);
  // Lines are "<size> <path>"; the header lines are not.
  ExpectListedPaths(SourceTree(src_, false), r.out, [](std::string& l) {
    const auto first = l.find_first_not_of(' ');
    const auto slash = l.find(" /");
    if (first == std::string::npos || slash == std::string::npos || !std::isdigit(static_cast<unsigned char>(l[first])))
      return false;
    l = l.substr(slash + 1);
    return l != "/";
  });
}

void VariedTree::VolumeLabelAndNamesInBothNameSpaces() {
  if (!Have("isoinfo")) return Skipped("isoinfo is not installed (Debian package genisoimage)");
  const RunResult pvd = Shell("isoinfo -d -i " + Quote(image_.string()));
  EXPECT_NE(pvd.out.find("Volume id: TEST DISC"), std::string::npos) << pvd.out;
  const RunResult joliet = Shell("isoinfo -J -d -i " + Quote(image_.string()));
  EXPECT_NE(joliet.out.find("Joliet"), std::string::npos) << joliet.out;
  // ISO 9660 names: 8.3 names unique in each directory.
  const RunResult iso = Shell("isoinfo -f -i " + Quote(image_.string()));
  ASSERT_EQ(iso.status, 0);
  EXPECT_NE(iso.out.find("/README.;1"), std::string::npos);
  EXPECT_NE(iso.out.find("/WIDE/ENTRYN~1.TXT;1"), std::string::npos);
  std::istringstream in(iso.out);
  std::map<std::string, int> seen;
  std::string line;
  while (std::getline(in, line)) EXPECT_EQ(++seen[line], 1) << line;
}

TEST_F(VariedTree, EveryInstalledReaderSeesTheSourceTree) {
  // One image, read by each reader in turn (building the tree is the slow
  // part, so it is not repeated per reader).
  const struct {
    const char* reader;
    void (VariedTree::*check)();
  } readers[] = {
      {"xorriso", &VariedTree::XorrisoExtractsEveryFile},
      {"7-Zip", &VariedTree::SevenZipExtractsEveryFile},
      {"pycdlib", &VariedTree::PycdlibReadsEveryFileFromBothNameSpaces},
      {"isoinfo", &VariedTree::IsoinfoListsEveryPath},
      {"iso-info", &VariedTree::LibcdioListsEveryPathWithItsSize},
      {"isoinfo (descriptors, ISO names)", &VariedTree::VolumeLabelAndNamesInBothNameSpaces},
  };
  for (const auto& r : readers) {
    SCOPED_TRACE(r.reader);
    (this->*r.check)();
  }
  if (skipped_ == std::size(readers)) GTEST_SKIP() << "no reader is installed";
}

// --- Single-purpose images ---------------------------------------------------------

TEST_F(ImageTest, FiveGibibyteSparseFileIsReadWhole) {
  const fs::path base = Scratch("big");
  const fs::path src = base / "src";
  fs::create_directories(src);
  const fs::path big = src / "big.bin";
  {
    std::ofstream f(big, std::ios::binary);
    f << "HEAD";
  }
  fs::resize_file(big, 5LL << 30);
  {
    std::fstream f(big, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp((5LL << 30) - 4);
    f << "TAIL";
  }
  Put(src / "after.txt", "after the big one");
  const fs::path image = base / "big.iso";
  const RunResult save = Shell(Quote(kVelloran) + " save-iso " + Quote(image.string()) + " " + Quote(src.string()));
  ASSERT_EQ(save.status, 0) << save.out;
  int readers = 0;
  if (Have("iso-info")) {
    ++readers;
    // The extents of a multi-extent file are listed one by one.
    const RunResult r = Shell("iso-info --no-header -f -i " + Quote(image.string()));
    std::istringstream in(r.out);
    long long total = 0;
    std::string line;
    while (std::getline(in, line))
      if (line.size() > 9 && line.compare(line.size() - 9, 9, " /big.bin") == 0) total += std::stoll(line);
    EXPECT_EQ(total, 5LL << 30) << r.out;
  }
  if (Have("xorriso")) {
    ++readers;
    const RunResult r = Shell("xorriso -joliet on -indev " + Quote(image.string()) + " -find /big.bin -exec lsdl --");
    EXPECT_NE(r.out.find("5368709120"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("SORRY"), std::string::npos) << r.out;
  }
  if (Have("isoinfo")) {
    ++readers;
    // isoinfo lists each extent with its location and flags; the first must
    // begin with the file's first bytes, the last end with its last bytes.
    const RunResult r = Shell("isoinfo -J -l -i " + Quote(image.string()));
    std::istringstream in(r.out);
    std::string line;
    std::vector<std::pair<long long, long long>> parts;  // LBA, size
    while (std::getline(in, line)) {
      if (line.find(" big.bin") == std::string::npos) continue;
      std::istringstream fields(line.substr(0, line.find('[')));
      std::string perms;
      long long a, b, c, size;
      fields >> perms >> a >> b >> c >> size;
      parts.emplace_back(std::stoll(line.substr(line.find('[') + 1)), size);
    }
    ASSERT_EQ(parts.size(), 2u) << r.out;
    EXPECT_EQ(parts[0].second + parts[1].second, 5LL << 30);
    std::ifstream img(image, std::ios::binary);
    char head[4] = {}, tail[4] = {};
    img.seekg(parts[0].first * 2048);
    img.read(head, 4);
    img.seekg(parts[1].first * 2048 + parts[1].second - 4);
    img.read(tail, 4);
    EXPECT_EQ(std::string(head, 4), "HEAD");
    EXPECT_EQ(std::string(tail, 4), "TAIL");
  }
  if (readers == 0) GTEST_SKIP() << "no reader installed (iso-info, xorriso, isoinfo)";
  fs::remove_all(base);
}

TEST_F(ImageTest, BootableFloppyImage) {
  const fs::path base = Scratch("boot");
  std::string floppy(1474560, '\0');
  for (std::size_t i = 0; i < floppy.size(); ++i) floppy[i] = static_cast<char>(i % 251);
  Put(base / "floppy.img", floppy);
  Put(base / "src" / "readme.txt", "boot disc");
  const fs::path image = base / "boot.iso";
  const RunResult save = Shell(Quote(kVelloran) + " save-iso " + Quote(image.string()) + " --boot " +
                             Quote((base / "floppy.img").string()) + " " + Quote((base / "src").string()));
  ASSERT_EQ(save.status, 0) << save.out;
  int readers = 0;
  if (Have("xorriso")) {
    ++readers;
    const RunResult r = Shell("xorriso -indev " + Quote(image.string()) + " -report_el_torito plain");
    EXPECT_NE(r.out.find("El Torito boot img :   1  BIOS  y  fd1.4"), std::string::npos) << r.out;
  }
  const std::string exe = Have("7zz") ? "7zz" : Have("7z") ? "7z" : "";
  if (!exe.empty()) {
    ++readers;
    const fs::path out = base / "7z";
    const RunResult r = Shell(exe + " x -y -o" + Quote(out.string()) + " " + Quote(image.string()));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFile(out / "[BOOT]" / "Boot-1.44M.img"), floppy);
    EXPECT_EQ(ReadFile(out / "readme.txt"), "boot disc");
  }
  if (readers == 0) GTEST_SKIP() << "no reader installed (xorriso, 7-Zip)";
  fs::remove_all(base);
}

TEST_F(ImageTest, GraftPointsPlaceFilesAndFolders) {
  if (!Have("xorriso")) GTEST_SKIP() << "xorriso is not installed (Debian package xorriso)";
  const fs::path base = Scratch("graft");
  Put(base / "a" / "one.txt", "1");
  Put(base / "single.txt", "s");
  const fs::path image = base / "g.iso";
  const RunResult save = Shell(Quote(kVelloran) + " save-iso " + Quote(image.string()) + " /docs/x=" +
                             Quote((base / "a").string()) + " /top/renamed.txt=" + Quote((base / "single.txt").string()) +
                             " /into/=" + Quote((base / "single.txt").string()) + " --no-joliet --no-rock-ridge");
  ASSERT_EQ(save.status, 0) << save.out;
  const RunResult r = Shell("xorriso -indev " + Quote(image.string()) + " -find / -type f");
  EXPECT_NE(r.out.find("'/DOCS/X/ONE.TXT'"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("'/TOP/RENAMED.TXT'"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("'/INTO/SINGLE.TXT'"), std::string::npos) << r.out;
  fs::remove_all(base);
}

// The line xorriso lists (ls -l style, Rock Ridge modes and owners) for
// the entry whose path ends in name; empty when there is none.
std::string LsdlLine(const std::string& listing, const std::string& name) {
  std::istringstream in(listing);
  for (std::string line; std::getline(in, line);)
    if (line.find("/" + name + "'") != std::string::npos) return line;
  return {};
}

TEST_F(ImageTest, RockRidgeIsOnByDefaultWithOwnersRootAndEveryoneReading) {
  if (!Have("xorriso") || !Have("isoinfo")) GTEST_SKIP() << "xorriso or isoinfo is not installed";
  const fs::path base = Scratch("rropts");
  Put(base / "src" / "secret.txt", "s");
  ::chmod((base / "src" / "secret.txt").c_str(), 0600);
  fs::create_directories(base / "src" / "private");
  ::chmod((base / "src" / "private").c_str(), 0700);
  fs::create_symlink("secret.txt", base / "src" / "link");
  const bool root = ::geteuid() == 0 && ::chown((base / "src" / "secret.txt").c_str(), 1234, 5678) == 0;
  auto save = [&](const std::string& name, const std::string& options) {
    const fs::path image = base / name;
    const RunResult r =
        Shell(Quote(kVelloran) + " save-iso " + Quote(image.string()) + " " + options + " /=" + Quote((base / "src").string()));
    EXPECT_EQ(r.status, 0) << options << ": " << r.out;
    return Shell("xorriso -indev " + Quote(image.string()) + " -find / -exec lsdl").out;
  };

  const std::string plain = save("plain.iso", "");
  EXPECT_EQ(LsdlLine(plain, "secret.txt").rfind("-rw-r--r--", 0), 0u) << plain;
  EXPECT_NE(LsdlLine(plain, "secret.txt").find(" 0        0 "), std::string::npos) << plain;
  EXPECT_EQ(LsdlLine(plain, "private").rfind("drwxr-xr-x", 0), 0u) << plain;
  EXPECT_EQ(LsdlLine(plain, "link").rfind("-rw-r--r--", 0), 0u) << "links are followed: " << plain;

  const std::string kept = save("kept.iso", "--links --keep-owners");
  EXPECT_EQ(LsdlLine(kept, "secret.txt").rfind("-rw-------", 0), 0u) << kept;
  if (root) EXPECT_NE(LsdlLine(kept, "secret.txt").find(" 1234 "), std::string::npos) << kept;
  EXPECT_EQ(LsdlLine(kept, "private").rfind("drwx------", 0), 0u) << kept;
  EXPECT_EQ(LsdlLine(kept, "link").rfind("lrwxrwxrwx", 0), 0u) << kept;
  EXPECT_NE(LsdlLine(kept, "link").find("-> 'secret.txt'"), std::string::npos) << kept;

  save("none.iso", "--no-rock-ridge");
  EXPECT_EQ(Shell("isoinfo -d -i " + Quote((base / "none.iso").string())).out.find("Rock Ridge signatures"),
            std::string::npos);
  EXPECT_NE(Shell("isoinfo -d -i " + Quote((base / "plain.iso").string())).out.find("Rock Ridge signatures"),
            std::string::npos);

  for (const char* option : {"--links", "--keep-owners"}) {
    const fs::path image = base / "refused.iso";
    const RunResult r = Shell(Quote(kVelloran) + " save-iso " + Quote(image.string()) + " --no-rock-ridge " + option +
                              " " + Quote((base / "src").string()));
    EXPECT_EQ(r.status, 2) << option;
    EXPECT_NE(r.out.find("needs Rock Ridge"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(image)) << option;
  }
  fs::remove_all(base);
}

TEST_F(ImageTest, BadInputFailsClearlyAndWritesNothing) {
  const fs::path base = Scratch("bad");
  Put(base / "src" / "f.txt", "f");
  const std::string src = Quote((base / "src").string());
  struct Case {
    std::string args;
    std::string message;
  } cases[] = {
      {Quote((base / "x.iso").string()) + " " + Quote((base / "missing").string()), "cannot find"},
      {Quote((base / "x.iso").string()) + " --boot " + Quote((base / "nofloppy.img").string()) + " " + src,
       "boot image"},
      {Quote((base / "no" / "dir" / "x.iso").string()) + " " + src, "CAN'T CREATE FILE"},
      {Quote((base / "src").string()) + " " + src, "is a folder"},
      {Quote((base / "x.iso").string()), "PATH"},
  };
  for (const auto& c : cases) {
    const RunResult r = Shell(Quote(kVelloran) + " save-iso " + c.args);
    EXPECT_NE(r.status, 0) << c.args;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
    EXPECT_FALSE(fs::exists(base / "x.iso")) << c.args;
  }
  fs::remove_all(base);
}

// --- Names the disc cannot hold as they are -----------------------------------------

// A tree with every kind of name Linux allows and ISO 9660 or Joliet does
// not, saved under "./docs" (the "./" must not disturb the root), and the
// names the Joliet tree must show for it.
class NameCases : public ImageTest {
 protected:
  void SetUp() override {
    base_ = Scratch("names");
    src_ = base_ / "src";
    for (const auto& [path, content] : Sources()) Put(src_ / path, content);
    ASSERT_EQ(::mkfifo((src_ / "pipe").c_str(), 0600), 0);
    image_ = base_ / "names.iso";
    // Without Rock Ridge, which would show the names as given.
    save_ = Shell(Quote(kVelloran) + " save-iso --verbose --no-rock-ridge " + Quote(image_.string()) + " ./docs=" +
                  Quote(src_.string()));
    ASSERT_EQ(save_.status, 0) << save_.out;
  }
  void TearDown() override { fs::remove_all(base_); }

  static std::string LongName() { return std::string(146, 'L') + ".txt"; }
  static std::vector<std::pair<std::string, std::string>> Sources() {
    return {{"readme.txt", "lower case"},         {"ReadMe.txt", "mixed case"},
            {"CaseDir/one.txt", "in CaseDir"},    {"casedir/two.txt", "in casedir"},
            {LongName(), "a long name"},          {"x\\y/inner.txt", "in x\\y"},
            {"x/y/deep.txt", "in x/y"},           {"a:b.txt", "colon"},
            {"what?.txt", "question"},            {"star*.txt", "star"},
            {"semi;colon.txt", "semicolon"}};
  }
  // Joliet path -> content.
  static Tree Expected() {
    Tree t;
    for (const char* d : {"/docs", "/docs/CaseDir", "/docs/casedir~1", "/docs/x", "/docs/x/y", "/docs/x_y"}) t[d] = "d";
    t["/docs/readme~1.txt"] = "f:lower case";
    t["/docs/ReadMe.txt"] = "f:mixed case";
    t["/docs/CaseDir/one.txt"] = "f:in CaseDir";
    t["/docs/casedir~1/two.txt"] = "f:in casedir";
    t["/docs/" + std::string(104, 'L') + "~1.txt"] = "f:a long name";
    t["/docs/x_y/inner.txt"] = "f:in x\\y";
    t["/docs/x/y/deep.txt"] = "f:in x/y";
    t["/docs/a_b.txt"] = "f:colon";
    t["/docs/what_.txt"] = "f:question";
    t["/docs/star_.txt"] = "f:star";
    t["/docs/semi_colon.txt"] = "f:semicolon";
    return t;
  }
  // What a reader that ignores Joliet must see: every file once, contents
  // alike (the names are 8.3 names there).
  static std::multiset<std::string> Contents(const Tree& t) {
    std::multiset<std::string> c;
    for (const auto& [p, v] : t)
      if (v != "d") c.insert(v);
    return c;
  }

  fs::path base_, src_, image_;
  RunResult save_;
};

TEST_F(NameCases, EveryNameIsKeptAndEveryChangeReported) {
  // The summary, with every change listed.
  for (const char* line : {"8 names changed for the disc:", "/docs/readme.txt -> readme~1.txt (Joliet: differs only in case",
                           "/docs/casedir -> casedir~1 (Joliet: differs only in case",
                           "/docs/a:b.txt -> a_b.txt (Joliet: characters Joliet does not allow",
                           "/docs/x\\y -> x_y (Joliet: characters", "(Joliet: longer than 110 characters)",
                           "1 entry left out of the disc:", "pipe (FIFO)"})
    EXPECT_NE(save_.out.find(line), std::string::npos) << line << "\n" << save_.out;
  const Tree want = Expected();
  int readers = 0;
  if (Have("xorriso")) {
    ++readers;
    const fs::path out = base_ / "xorriso";
    RunResult r = Shell("xorriso -abort_on FAILURE -joliet on -osirrox on -indev " + Quote(image_.string()) +
                        " -extract / " + Quote(out.string()));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("SORRY"), std::string::npos) << r.out;
    const Tree got = ExtractedTree(out);
    EXPECT_TRUE(want == got) << "xorriso, Joliet\n" << Diff(want, got);
    // The ISO 9660 tree alone: every file once, under names unique there.
    const fs::path iso = base_ / "xorriso-iso";
    r = Shell("xorriso -abort_on FAILURE -joliet off -osirrox on -indev " + Quote(image_.string()) + " -extract / " +
              Quote(iso.string()));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Contents(ExtractedTree(iso)), Contents(want));
  }
  const std::string sevenZip = Have("7zz") ? "7zz" : Have("7z") ? "7z" : "";
  if (!sevenZip.empty()) {
    ++readers;
    const fs::path out = base_ / "7z";
    const RunResult r = Shell(sevenZip + " x -y -o" + Quote(out.string()) + " " + Quote(image_.string()));
    ASSERT_EQ(r.status, 0) << r.out;
    const Tree got = ExtractedTree(out);
    EXPECT_TRUE(want == got) << "7-Zip\n" << Diff(want, got);
  }
  if (const std::string python = PythonWithPycdlib(); !python.empty()) {
    ++readers;
    const fs::path out = base_ / "pycdlib";
    const fs::path script = base_ / "walk.py";
    Put(script,
        "import os, sys, pycdlib\n"
        "iso = pycdlib.PyCdlib(); iso.open(sys.argv[1]); out = sys.argv[2]\n"
        "for top, dirs, files in iso.walk(joliet_path='/'):\n"
        "    for d in dirs: os.makedirs(out + top.rstrip('/') + '/' + d, exist_ok=True)\n"
        "    for f in files:\n"
        "        iso.get_file_from_iso(out + top.rstrip('/') + '/' + f, joliet_path=top.rstrip('/') + '/' + f)\n"
        "n = sum(len(f) for _, _, f in iso.walk(iso_path='/'))\n"
        "print('iso files', n)\n");
    fs::create_directories(out);
    const RunResult r =
        Shell(python + " " + Quote(script.string()) + " " + Quote(image_.string()) + " " + Quote(out.string()));
    ASSERT_EQ(r.status, 0) << r.out;
    const Tree got = ExtractedTree(out);
    EXPECT_TRUE(want == got) << "pycdlib\n" << Diff(want, got);
    EXPECT_NE(r.out.find("iso files " + std::to_string(Contents(want).size())), std::string::npos) << r.out;
  }
  if (Have("isoinfo")) {
    ++readers;
    const RunResult r = Shell("isoinfo -J -f -i " + Quote(image_.string()));
    ASSERT_EQ(r.status, 0) << r.out;
    ExpectListedPaths(want, r.out, [](std::string& l) { return !l.empty() && l[0] == '/'; });
    // The root keeps its "." and "..", so a listing of the root shows them.
    const RunResult root = Shell("isoinfo -J -l -i " + Quote(image_.string()));
    EXPECT_NE(root.out.find("Directory listing of /\n"), std::string::npos) << root.out;
    EXPECT_NE(root.out.find(" .. "), std::string::npos) << root.out;
  }
  if (readers == 0) GTEST_SKIP() << "no reader installed (xorriso, 7-Zip, pycdlib, isoinfo)";
}

TEST_F(ImageTest, DestinationAboveTheRootIsRefused) {
  const fs::path base = Scratch("climb");
  Put(base / "src" / "f.txt", "f");
  for (const char* dest : {"../x", "docs/../../x", ".."}) {
    const RunResult r = Shell(Quote(kVelloran) + " save-iso " + Quote((base / "x.iso").string()) + " " + dest + "=" +
                              Quote((base / "src").string()));
    EXPECT_EQ(r.status, 2) << dest << "\n" << r.out;
    EXPECT_NE(r.out.find("lies above the disc's root folder"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(base / "x.iso"));
  }
  fs::remove_all(base);
}

// Records in the order ECMA-119 9.3 gives, in every directory of an image
// whose entries were given in a scrambled order: read from the image file
// itself, starting at the primary (or Joliet) descriptor.
TEST_F(ImageTest, DirectoryRecordsAreSortedInBothNameSpaces) {
  const fs::path base = Scratch("sorted");
  std::string args;
  for (const char* name : {"zeta.txt", "ab.10", "a b.txt", "ab", "Beta.txt", "ab.1", "a.txt", "a0.txt", "b.txt"}) {
    Put(base / "src" / name, name);
    args += " '/top/" + std::string(name) + "=" + (base / "src" / name).string() + "'";
  }
  for (const char* dir : {"/top/sub b/", "/top/Sub/", "/top/sub.a/"})
    args += std::string(" '") + dir + "=" + (base / "src" / "a.txt").string() + "'";
  const fs::path image = base / "s.iso";
  const RunResult save = Shell(Quote(kVelloran) + " save-iso " + Quote(image.string()) + args);
  ASSERT_EQ(save.status, 0) << save.out;
  const std::string bytes = ReadFile(image);
  auto u8 = [&](std::size_t at) { return static_cast<unsigned>(static_cast<unsigned char>(bytes.at(at))); };
  auto le32 = [&](std::size_t at) { return u8(at) | u8(at + 1) << 8 | u8(at + 2) << 16 | u8(at + 3) << 24; };
  // An identifier as code units (Joliet: 16-bit big-endian, but "." and
  // ".." are one byte there too).
  auto units = [&](std::size_t at, std::size_t n, bool joliet) {
    joliet = joliet && n > 1;
    std::vector<unsigned> u;
    for (std::size_t i = 0; i < n; i += joliet ? 2 : 1) u.push_back(joliet ? u8(at + i) << 8 | u8(at + i + 1) : u8(at + i));
    return u;
  };
  // 9.3: name, then extension (each as if padded with blanks), then the
  // version; a directory identifier is all name.
  auto key = [](const std::vector<unsigned>& id, bool dir) {
    std::vector<unsigned> name, ext;
    std::size_t i = 0;
    for (; i < id.size() && (dir || (id[i] != '.' && id[i] != ';')); ++i) name.push_back(id[i]);
    if (!dir && i < id.size() && id[i] == '.')
      for (++i; i < id.size() && id[i] != ';'; ++i) ext.push_back(id[i]);
    return std::make_pair(name, ext);
  };
  auto padded_less = [](std::vector<unsigned> a, std::vector<unsigned> b) {
    a.resize(std::max(a.size(), b.size()), 0x20);
    b.resize(a.size(), 0x20);
    return a < b;
  };
  int directories = 0;
  for (std::size_t descriptor = 16; u8(descriptor * 2048) != 255; ++descriptor) {
    const bool joliet = u8(descriptor * 2048) == 2;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pending{
        {le32(descriptor * 2048 + 156 + 2), le32(descriptor * 2048 + 156 + 10)}};
    while (!pending.empty()) {
      const auto [lba, size] = pending.back();
      pending.pop_back();
      ++directories;
      std::vector<std::pair<std::vector<unsigned>, bool>> ids;
      for (std::size_t sector = 0; sector < size / 2048; ++sector)
        for (std::size_t off = 0, pos = (lba + sector) * 2048; off < 2048 && u8(pos) != 0;
             off += u8(pos), pos = (lba + sector) * 2048 + off) {
          const std::size_t n = u8(pos + 32);
          const bool dir = (u8(pos + 25) & 2) != 0;
          ids.emplace_back(units(pos + 33, n, joliet), dir);
          if (dir && ids.size() > 2) pending.emplace_back(le32(pos + 2), le32(pos + 10));
        }
      ASSERT_GE(ids.size(), 2u);
      EXPECT_EQ(ids[0].first, std::vector<unsigned>{0});
      EXPECT_EQ(ids[1].first, std::vector<unsigned>{1});
      for (std::size_t i = 3; i < ids.size(); ++i) {
        const auto a = key(ids[i - 1].first, ids[i - 1].second), b = key(ids[i].first, ids[i].second);
        const bool inOrder = padded_less(a.first, b.first) ||
                             (!padded_less(b.first, a.first) && !padded_less(b.second, a.second));
        EXPECT_TRUE(inOrder) << (joliet ? "Joliet" : "ISO") << " record " << i << " of the directory at " << lba;
      }
    }
  }
  EXPECT_EQ(directories, 2 * 5);  // root, top and three folders, in each name space
  fs::remove_all(base);
}
}  // namespace
