// The compilation tree: adding, naming, replacing, finding, removing and
// the capacity limits.
#include "image/compilation.h"
#include "image/image_test_util.h"
#include "image/iso_names.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

namespace velloran::image {
namespace {

using test::ScratchDir;
namespace fs = std::filesystem;

struct Messages {
  std::vector<std::pair<std::string, int>> lines;
  void Attach(Compilation& c) {
    c.Events.debug = [this](const std::string& m, std::uint8_t t) { lines.emplace_back(m, t); };
  }
  bool Has(const std::string& text, int type) const {
    for (auto& [m, t] : lines)
      if (m == text && t == type) return true;
    return false;
  }
};

std::vector<std::string> ChildNames(const TDEntry* dir) {
  std::vector<std::string> out;
  for (const TFEntry* c = dir->FirstChild; c; c = c->Next) out.push_back(c->JolietName + "|" + c->IsoName);
  return out;
}

TEST(Compilation, NewCompilationHoldsOnlyTheRoot) {
  Compilation c;
  EXPECT_EQ(c.DirCount(), 0);
  EXPECT_EQ(c.FileCount(), 0);
  EXPECT_EQ(c.MaxFiles(), 65535);
  EXPECT_EQ(c.MaxDirs(), 8191);
  ASSERT_NE(c.Root(), nullptr);
  EXPECT_EQ(c.Root()->IsoName, "CD_ROOT");
  EXPECT_EQ(c.Root()->JolietName, "CD Root Directory");
  EXPECT_EQ(c.Root()->Path, "\\");
  EXPECT_EQ(c.Root()->Parent, c.Root());
  EXPECT_EQ(c.Root()->Depth, 1);
}

TEST(Compilation, FileWithoutExtensionGetsATrailingDot) {
  ScratchDir dir("noext");
  Compilation c;
  ASSERT_EQ(c.AddFile("\\", dir.File("README", "hello"), false), 1);
  const TFEntry* e = c.FindFile(c.Root(), "README.");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->JolietName, "README.");
  EXPECT_EQ(e->IsoName, "README.");
  EXPECT_EQ(IsoRecordIdentifier(*e), "README.;1");
  EXPECT_EQ(c.TotalRoundedSize(), 2048);

  ASSERT_EQ(c.AddFile("\\", dir.File("report"), false), 1);
  const TFEntry* r = c.FindFile(c.Root(), "report.");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(IsoRecordIdentifier(*r), "REPORT.;1");
  EXPECT_EQ(JolietRecordIdentifier(*r), std::string("\0r\0e\0p\0o\0r\0t\0.\0;\0001", 18));
}

TEST(Compilation, LongNamesGetUniqueShortNamesPerDirectory) {
  ScratchDir dir("short");
  Compilation c;
  std::set<std::string> iso;
  for (int i = 0; i < 25; ++i) {
    ASSERT_EQ(c.AddFile("\\", dir.File("long file name " + std::to_string(i) + ".text"), false), 1);
    iso.insert(c.LastFileAdded()->IsoName);
  }
  EXPECT_EQ(iso.size(), 25u);
  EXPECT_TRUE(iso.count("LONGFI~1.TEX"));
  EXPECT_TRUE(iso.count("LONGF~10.TEX"));
  // A name that fits 8.3 has no alternate name.
  ASSERT_EQ(c.AddFile("\\", dir.File("fits.txt"), false), 1);
  EXPECT_EQ(c.LastFileAdded()->IsoName, "FITS.TXT");
  // Numbering starts again in another directory.
  TDEntry* sub = c.CreateDir(c.Root(), "sub", 16);
  ASSERT_EQ(c.AddFile("\\sub", dir.File("long file name 0.text"), false), 1);
  EXPECT_EQ(c.FindFile(sub, "long file name 0.text")->IsoName, "LONGFI~1.TEX");
}

TEST(Compilation, LongNamesAreAddedAndShortenedByTheLayout) {
  ScratchDir dir("long");
  Compilation c;
  const std::string n110 = std::string(106, 'n') + ".txt";
  const std::string n150 = std::string(146, 'm') + ".txt";
  bool skipSeen = true;
  c.Events.addFile = [&](const std::string&, std::string&, std::string&, TDateTime&, int, std::int64_t, bool& skip) {
    skipSeen = skip;
  };
  EXPECT_EQ(c.AddFile("\\", dir.File(n110), false), 1);
  EXPECT_FALSE(skipSeen);
  EXPECT_EQ(c.AddFile("\\", dir.File(n150), false), 1);
  EXPECT_FALSE(skipSeen);
  ASSERT_EQ(c.FileCount(), 2);
  ResolveNames(c);
  EXPECT_NE(c.FindFile(c.Root(), n110), nullptr) << "110 characters fit a record";
  const TFEntry* shortened = c.LastFileAdded();
  EXPECT_EQ(shortened->JolietName, std::string(104, 'm') + "~1.txt");
  const TNameChange* change = c.NameChangeOf(shortened, NameSpace::Joliet);
  ASSERT_NE(change, nullptr);
  EXPECT_EQ(change->From, n150);
  EXPECT_EQ(change->Reasons, kNameTooLong);
  EXPECT_EQ(c.GivenName(shortened), n150);
  // A handler may still leave a file out.
  c.Events.addFile = [&](const std::string&, std::string&, std::string&, TDateTime&, int, std::int64_t, bool& skip) {
    skip = true;
  };
  c.AddFile("\\", dir.File("other.txt"), false);
  EXPECT_EQ(c.FileCount(), 2);
}

TEST(Compilation, AddingTheSameFileTwiceReplacesOnlyWhenAsked) {
  ScratchDir dir("replace");
  Compilation c;
  const std::string a = dir.File("a.txt", "first");
  const std::string b = dir.File("b.txt", "b");
  c.AddFile("\\", a, false);
  c.AddFile("\\", b, false);
  std::ofstream(a) << std::string(5000, 'z');
  EXPECT_EQ(c.AddFile("\\", a, false), 1);
  EXPECT_EQ(c.FileCount(), 2);
  EXPECT_EQ(c.FindFile(c.Root(), "A.TXT")->Size, 5);
  EXPECT_EQ(c.TotalRoundedSize(), 4096);

  c.ReplaceFile = true;
  EXPECT_EQ(c.AddFile("\\", a, false), 1);
  EXPECT_EQ(c.FileCount(), 2);
  EXPECT_EQ(ChildNames(c.Root()), (std::vector<std::string>{"a.txt|A.TXT", "b.txt|B.TXT"}));  // position kept
  EXPECT_EQ(c.FindFile(c.Root(), "a.txt")->Size, 5000);
  EXPECT_EQ(c.TotalRoundedSize(), 6144 + 2048);
}

TEST(Compilation, DirectoriesAreFoundByPathExactNameFirst) {
  Compilation c;
  TDEntry* docs = c.CreateDir(nullptr, "\\Docs\\", 16);
  ASSERT_NE(docs, nullptr);
  EXPECT_EQ(docs->JolietName, "Docs");
  EXPECT_EQ(docs->Path, "\\Docs");
  EXPECT_EQ(c.FindDir("\\docs\\"), docs) << "a name that differs only in case is found";
  EXPECT_EQ(c.FindDir("/docs"), docs);
  EXPECT_EQ(c.FindDir(""), c.Root());
  EXPECT_EQ(c.FindDir("\\"), c.Root());
  EXPECT_EQ(c.FindDir("\\nothing"), nullptr);
  // Creating it again returns the existing entry; another case is another
  // folder, and the exact name wins a lookup.
  EXPECT_EQ(c.CreateDir(nullptr, "Docs", 16), docs);
  TDEntry* upper = c.CreateDir(nullptr, "DOCS", 16);
  ASSERT_NE(upper, nullptr);
  EXPECT_NE(upper, docs);
  EXPECT_EQ(c.FindDir("\\DOCS"), upper);
  EXPECT_EQ(c.FindDir("\\Docs"), docs);
  EXPECT_EQ(c.DirCount(), 2);
  // CreateDir short names: 13 characters, upper case, blanks and others as "_".
  TDEntry* d = c.CreateDir(docs, "my photos of 2024 summer", 16);
  EXPECT_EQ(d->IsoName, "MY_PHOTOS_OF_");
  EXPECT_EQ(d->Depth, 3);
  TDEntry* deep = c.ForceDirs("\\a\\b\\c");
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(deep->Path, "\\a\\b\\c");
  EXPECT_EQ(c.DirCount(), 6);
}

TEST(Compilation, RemoveDirOnTheRootChangesNothing) {
  ScratchDir dir("rmroot");
  Compilation c;
  c.AddFile("\\", dir.File("a.txt"), false);
  EXPECT_FALSE(c.RemoveDir(c.Root()));
  EXPECT_FALSE(c.RemoveDir(nullptr));
  EXPECT_EQ(c.FileCount(), 1);
  EXPECT_NE(c.Root()->FirstChild, nullptr);
}

TEST(Compilation, RemovingADirectoryRemovesEverythingBelowIt) {
  ScratchDir dir("rm");
  Compilation c;
  c.ForceDirs("\\x\\y\\z");
  c.AddFile("\\x\\y", dir.File("f1.txt", "1234"), false);
  c.AddFile("\\x\\y\\z", dir.File("f2.txt", "1"), false);
  c.AddFile("\\", dir.File("keep.txt"), false);
  c.CreateDir(nullptr, "other", 16);
  EXPECT_EQ(c.DirCount(), 4);
  EXPECT_EQ(c.FileCount(), 7);
  EXPECT_TRUE(c.RemoveDir(c.FindDir("\\x\\y")));
  EXPECT_EQ(c.DirCount(), 2);
  EXPECT_EQ(c.FileCount(), 3);  // x's node, keep.txt, other's node
  EXPECT_EQ(c.FindDir("\\x\\y\\z"), nullptr);
  EXPECT_EQ(c.FindDir("\\x")->FirstChild, nullptr);
  EXPECT_EQ(c.TotalRoundedSize(), 2048);
  // The removed name can be used again.
  EXPECT_NE(c.ForceDirs("\\x\\y"), nullptr);
  // RemoveFile of a subdirectory node removes the directory as well.
  EXPECT_TRUE(c.RemoveFile("\\", "other"));
  EXPECT_EQ(c.FindDir("\\other"), nullptr);
  EXPECT_TRUE(c.RemoveFile("\\", "KEEP.TXT"));
  EXPECT_FALSE(c.RemoveFile("\\", "keep.txt"));
  EXPECT_EQ(c.TotalRoundedSize(), 0);
  EXPECT_EQ(ChildNames(c.Root()), (std::vector<std::string>{"x|X"}));
}

TEST(Compilation, CapacityLimitsAreReported) {
  ScratchDir dir("cap");
  Compilation c;
  Messages m;
  m.Attach(c);
  c.ResetCompilation(3, 2);
  EXPECT_NE(c.CreateDir(nullptr, "one", 16), nullptr);
  EXPECT_EQ(c.CreateDir(nullptr, "two", 16), nullptr);
  EXPECT_TRUE(m.Has(">>> MAXIMUM DIRECTORIES CAN BE 2", 3));
  c.AddFile("\\", dir.File("a"), false);
  c.AddFile("\\", dir.File("b"), false);
  EXPECT_EQ(c.FileCount(), 3);
  c.AddFile("\\", dir.File("c"), false);
  EXPECT_EQ(c.FileCount(), 3);
  EXPECT_TRUE(m.Has("MAXIMUM FILES CAN BE 3", 3));
  // The application's large compilation.
  c.ResetCompilation(600000, 20000);
  EXPECT_EQ(c.MaxFiles(), 600000);
  EXPECT_EQ(c.MaxDirs(), 20000);
  EXPECT_EQ(c.FileCount(), 0);
}

TEST(Compilation, BadDestinationsAndMissingSources) {
  ScratchDir dir("bad");
  Compilation c;
  Messages m;
  m.Attach(c);
  EXPECT_EQ(c.AddFile("\\missing", dir.File("a.txt"), false), 0);
  EXPECT_TRUE(m.Has("INVALID DESTINATION PATH", 4));
  EXPECT_EQ(c.AddFile("\\", (dir.path() / "nothere").string(), false), 255);
  EXPECT_EQ(c.AddFile("\\", dir.Dir("folder"), false), 255);  // a folder is not a file
  EXPECT_EQ(c.AddFolder(nullptr, dir.path().string(), false, false, true, 63, ""), 0);
  EXPECT_EQ(c.FileCount(), 0);
}

TEST(Compilation, UseSourcePathMirrorsTheFolders) {
  ScratchDir dir("mirror");
  Compilation c;
  const std::string file = dir.File("Docs/Photos/p.jpg");
  ASSERT_EQ(c.AddFile("", file, true), 1);
  const std::string mirrored = Compilation::UpperAscii(Compilation::NormalisePath(dir.path().string() + "/Docs/Photos"));
  ASSERT_NE(c.FindDir(mirrored), nullptr);
  EXPECT_NE(c.FindFile(c.FindDir(mirrored), "p.jpg"), nullptr);

  Compilation last;
  last.LastFolderOnly = true;
  TDEntry* music = last.CreateDir(nullptr, "Music", 16);
  last.AddFolder(music, (dir.path() / "Docs" / "Photos").string(), false, true, true, 63, "*.*");
  TDEntry* photos = last.FindDir("\\Music\\Photos");
  ASSERT_NE(photos, nullptr);
  EXPECT_EQ(photos->JolietName, "Photos");
  EXPECT_NE(last.FindFile(photos, "p.jpg"), nullptr);
}

TEST(Compilation, AddFolderWalksTheTreeSafely) {
  ScratchDir dir("folder");
  dir.File("top.txt", "t");
  dir.File(".hidden", "h");
  dir.File("a/b/c/deep.txt", "d");
  dir.Dir("empty");
  dir.File("filtered/only.bin", "b");
  ASSERT_EQ(::mkfifo((dir.path() / "a" / "pipe").c_str(), 0600), 0);
  fs::create_symlink(dir.path(), dir.path() / "a" / "loop");  // a link back to the top

  Compilation c;
  Messages m;
  m.Attach(c);
  std::vector<std::string> dirsSeen;
  c.Events.addDir = [&](std::string& longName, std::string&, bool& skip) {
    dirsSeen.push_back(longName);
    skip = longName == "skipme";
  };
  dir.File("skipme/x.txt");
  EXPECT_EQ(c.AddFolder(c.Root(), dir.path().string(), false, false, true, 63, "*.txt"), 1);
  EXPECT_NE(c.FindFile(c.FindDir("\\a\\b\\c"), "deep.txt"), nullptr);
  EXPECT_NE(c.FindFile(c.Root(), "top.txt"), nullptr);
  EXPECT_EQ(c.FindFile(c.FindDir("\\a"), "pipe"), nullptr);
  EXPECT_NE(c.FindDir("\\empty"), nullptr);        // empty on disk: kept
  EXPECT_EQ(c.FindDir("\\filtered"), nullptr);     // emptied by the mask: dropped
  EXPECT_EQ(c.FindDir("\\skipme"), nullptr);
  EXPECT_EQ(c.FindDir("\\a\\loop"), nullptr);
  bool fifoReported = false, loopReported = false;
  for (auto& [text, type] : m.lines) {
    fifoReported |= text.find("pipe passed over: FIFO") != std::string::npos;
    loopReported |= text.find("loop passed over: link loop") != std::string::npos;
  }
  EXPECT_TRUE(fifoReported);
  EXPECT_TRUE(loopReported);

  Compilation all;
  all.AddFolder(all.Root(), dir.path().string(), false, false, true, 63, "");
  const TFEntry* hidden = all.FindFile(all.Root(), ".hidden");
  ASSERT_NE(hidden, nullptr);
  EXPECT_EQ(hidden->Attributes & 2, 2);
  EXPECT_EQ(hidden->IsoName, "HIDDEN~1");
  EXPECT_NE(all.FindFile(all.FindDir("\\filtered"), "only.bin"), nullptr);
  EXPECT_EQ(all.FolderSize(dir.path().string() + "/"), 5);  // five 1-byte files; the loop is not followed
}

TEST(Names, ResolveMakesCollidingNamesUnique) {
  ScratchDir dir("resolve");
  Compilation c;
  // A handler that gives every file the same ISO name.
  c.Events.addFile = [](const std::string&, std::string&, std::string& shortName, TDateTime&, int, std::int64_t,
                        bool&) { shortName = "same.txt"; };
  c.AddFile("\\", dir.File("one.txt"), false);
  c.AddFile("\\", dir.File("two.txt"), false);
  c.Events.addFile = nullptr;
  // Two names that differ only in characters outside UCS-2.
  c.AddFile("\\", dir.File("a\xF0\x9F\x98\x80.txt"), false);
  c.AddFile("\\", dir.File("a\xF0\x9F\x98\x83.txt"), false);
  c.AddFile("\\", dir.File("a_.txt"), false);
  EXPECT_EQ(ResolveNames(c), 3);
  std::set<std::string> iso, joliet;
  for (const TFEntry* e = c.Root()->FirstChild; e; e = e->Next) {
    iso.insert(IsoRecordIdentifier(*e));
    joliet.insert(JolietRecordIdentifier(*e));
  }
  EXPECT_EQ(iso.size(), 5u);
  EXPECT_EQ(joliet.size(), 5u);
  EXPECT_TRUE(iso.count("SAME.TXT;1"));
  EXPECT_EQ(ResolveNames(c), 0);  // stable once resolved
}

TEST(Names, IsoNamesKeepDCharactersOnly) {
  ScratchDir dir("dchars");
  Compilation c;
  TDEntry* d = c.CreateDir(nullptr, "a.b-c [1]", 16);
  c.Events.addFile = [](const std::string&, std::string&, std::string& shortName, TDateTime&, int, std::int64_t,
                        bool&) { shortName = "x y.tar.gz"; };
  c.AddFile("\\", dir.File("x.gz"), false);
  ResolveNames(c);
  EXPECT_EQ(d->IsoName, "A_B_C__1_");
  EXPECT_EQ(d->Node->IsoName, "A_B_C__1_");
  EXPECT_EQ(IsoRecordIdentifier(*c.LastFileAdded()), "X_Y_TAR.GZ;1");
  EXPECT_EQ(d->JolietName, "a.b-c [1]");  // the long name is untouched
}

// Every child's name in both name spaces, as readers compare them: ISO
// without ";1" and trailing dots, Joliet also without regard to case.
void ExpectUniqueNames(const TDEntry* dir) {
  std::set<std::string> iso, joliet;
  int n = 0;
  for (const TFEntry* e = dir->FirstChild; e; e = e->Next, ++n) {
    std::string i = e->IsoName, j = Compilation::UpperAscii(e->JolietName);
    while (i.size() > 1 && i.back() == '.') i.pop_back();
    while (j.size() > 1 && j.back() == '.') j.pop_back();
    EXPECT_TRUE(iso.insert(i).second) << "ISO name twice: " << i;
    EXPECT_TRUE(joliet.insert(j).second) << "Joliet name twice: " << j;
  }
}

TEST(Names, NamesThatDifferOnlyInCaseAllReachTheDisc) {
  ScratchDir dir("case");
  dir.File("readme.txt", "lower");
  dir.File("ReadMe.txt", "mixed");
  dir.File("CaseDir/one.txt", "1");
  dir.File("casedir/two.txt", "2");
  Compilation c;
  c.AddFolder(c.Root(), dir.path().string(), false, false, true, 63, "*.*");
  EXPECT_EQ(c.FileCount(), 6);
  ASSERT_NE(c.FindChild(c.Root(), "CaseDir", true), nullptr);
  ASSERT_NE(c.FindChild(c.Root(), "casedir", true), nullptr);
  EXPECT_NE(c.FindFile(c.FindChild(c.Root(), "CaseDir", true)->Directory, "one.txt"), nullptr);
  EXPECT_NE(c.FindFile(c.FindChild(c.Root(), "casedir", true)->Directory, "two.txt"), nullptr);
  EXPECT_EQ(c.FindFile(c.Root(), "readme.txt")->Size, 5);
  EXPECT_EQ(c.FindFile(c.Root(), "ReadMe.txt")->Size, 5);
  EXPECT_NE(c.FindFile(c.Root(), "readme.txt"), c.FindFile(c.Root(), "ReadMe.txt"));

  EXPECT_GT(ResolveNames(c), 0);
  ExpectUniqueNames(c.Root());
  // The later of each pair (the walk adds names in byte order) is renamed,
  // and the change is recorded with its reason.
  std::vector<std::string> joliet;
  for (const TNameChange& ch : c.NameChanges())
    if (ch.Space == NameSpace::Joliet) {
      EXPECT_EQ(ch.Reasons, kNameCaseOnly) << ch.From;
      joliet.push_back(ch.From + " -> " + ch.Entry->JolietName);
    }
  EXPECT_EQ(joliet, (std::vector<std::string>{"casedir -> casedir~1", "readme.txt -> readme~1.txt"}));
  EXPECT_EQ(ResolveNames(c), 0) << "stable once resolved";
}

TEST(Names, JolietNamesHoldNoCharacterJolietForbids) {
  ScratchDir dir("jchars");
  const struct {
    const char* given;
    const char* recorded;
    std::uint8_t reasons;
  } rows[] = {
      {"a_b.txt", "a_b.txt", 0},  // the name given keeps it
      {"a:b.txt", "a_b~1.txt", kNameCharacters | kNameTaken},
      {"what?.txt", "what_.txt", kNameCharacters},
      {"star*.txt", "star_.txt", kNameCharacters},
      {"semi;colon.txt", "semi_colon.txt", kNameCharacters},
      {"back\\slash.txt", "back_slash.txt", kNameCharacters},
      {"tab\tname.txt", "tab_name.txt", kNameCharacters},
      {"smile \xF0\x9F\x98\x80.txt", "smile _.txt", kNameUnrepresentable},
  };
  Compilation c;
  for (const auto& r : rows) ASSERT_EQ(c.AddFile("\\", dir.File(r.given), false), 1) << r.given;
  ResolveNames(c);
  ExpectUniqueNames(c.Root());
  for (const auto& r : rows) {
    const TFEntry* e = c.FindFile(c.Root(), r.recorded);
    ASSERT_NE(e, nullptr) << r.given;
    EXPECT_EQ(c.GivenName(e), r.given);
    const TNameChange* ch = c.NameChangeOf(e, NameSpace::Joliet);
    EXPECT_EQ(ch ? ch->Reasons : 0, r.reasons) << r.given;
  }
  // A compilation without Joliet leaves the long names alone.
  Compilation isoOnly;
  isoOnly.AddFile("\\", dir.File("a:b.txt"), false);
  ResolveNames(isoOnly, false);
  EXPECT_EQ(isoOnly.LastFileAdded()->JolietName, "a:b.txt");
  for (const TNameChange& ch : isoOnly.NameChanges()) EXPECT_EQ(ch.Space, NameSpace::Iso);
}

TEST(Compilation, DotsInPathsAndPathsAboveTheRoot) {
  Compilation c;
  Messages m;
  m.Attach(c);
  TDEntry* docs = c.ForceDirs("./docs");
  ASSERT_NE(docs, nullptr);
  EXPECT_EQ(docs->Parent, c.Root());
  EXPECT_EQ(docs->JolietName, "docs");
  EXPECT_EQ(c.ForceDirs("docs/./x/../y")->Parent, docs);
  EXPECT_EQ(c.FindDir("/docs/y/../y/."), c.FindDir("\\docs\\y"));
  EXPECT_EQ(Compilation::NormalisePath("a/./b/../c"), "\\a\\c");
  for (const char* climbs : {"..", "../x", "docs/../../x", "/.."}) {
    m.lines.clear();
    EXPECT_EQ(c.ForceDirs(climbs), nullptr) << climbs;
    EXPECT_TRUE(m.Has("INVALID DESTINATION PATH", 4)) << climbs;
    EXPECT_EQ(c.FindDir(climbs), nullptr) << climbs;
  }
  for (const char* name : {".", "..", "a/b", ""}) {
    EXPECT_EQ(c.CreateDir(c.Root(), name, 16), nullptr) << name;
    TFoundDir found;
    found.LongName = name;
    EXPECT_EQ(c.AddDirEntry(c.Root(), found), nullptr) << name;
  }
  EXPECT_EQ(c.DirCount(), 2);
  for (const TFEntry* e = c.Root()->FirstChild; e; e = e->Next) EXPECT_EQ(e->JolietName, "docs");
}

TEST(Compilation, BackslashIsACharacterOfAName) {
  ScratchDir dir("backslash");
  dir.File("x\\y/inner.txt", "in x\\y");
  dir.File("x/y/deep.txt", "in x/y");
  dir.File("a\\b.txt", "file");
  Compilation c;
  c.AddFolder(c.Root(), dir.path().string(), false, false, true, 63, "*.*");
  TFEntry* odd = c.FindChild(c.Root(), "x\\y", true);
  ASSERT_NE(odd, nullptr);
  EXPECT_NE(c.FindFile(odd->Directory, "inner.txt"), nullptr);
  TDEntry* y = c.FindDir("/x/y");
  ASSERT_NE(y, nullptr);
  EXPECT_NE(y, odd->Directory);
  EXPECT_NE(c.FindFile(y, "deep.txt"), nullptr);
  EXPECT_EQ(c.FindFile(y, "inner.txt"), nullptr);
  EXPECT_NE(c.FindFile(c.Root(), "a\\b.txt"), nullptr);
  ResolveNames(c);
  EXPECT_EQ(odd->JolietName, "x_y");
  EXPECT_EQ(odd->IsoName, "X_Y~1");
  EXPECT_EQ(c.DisplayPath(odd->Directory), "/x\\y");
}

TEST(Compilation, AFileAndAFolderOfOneNameAreBothKept) {
  ScratchDir dir("namesake");
  Compilation c;
  TDEntry* folder = c.CreateDir(nullptr, "notes", 16);
  ASSERT_EQ(c.AddFile("\\notes", dir.File("inside.txt"), false), 1);
  ASSERT_EQ(c.AddFileAs(c.Root(), dir.File("notes", "the file"), "notes"), 1);
  TFEntry* file = c.LastFileAdded();
  EXPECT_EQ(c.FindChild(c.Root(), "notes", true), folder->Node);
  EXPECT_EQ(c.FindChild(c.Root(), "notes.", false), file);
  ResolveNames(c);
  ExpectUniqueNames(c.Root());
  EXPECT_EQ(folder->JolietName, "notes");
  EXPECT_EQ(file->JolietName, "notes~1.");
  ASSERT_NE(c.NameChangeOf(file, NameSpace::Joliet), nullptr);
  EXPECT_EQ(c.NameChangeOf(file, NameSpace::Joliet)->Reasons, kNameTaken);
  // Removing one leaves the other to be found, and drops its record.
  EXPECT_TRUE(c.RemoveEntry(file));
  for (const TNameChange& ch : c.NameChanges()) EXPECT_NE(ch.Entry, file);
  EXPECT_EQ(c.FindDir("\\notes"), folder);

  // Adding a file of a name already there is refused and reported.
  Messages m;
  m.Attach(c);
  c.AddFile("\\notes", dir.File("sub/inside.txt", "another"), false);
  ASSERT_EQ(c.Skipped().size(), 1u);
  EXPECT_NE(c.Skipped()[0].Why.find("a file named \"inside.txt\" is in /notes already"), std::string::npos);
  EXPECT_EQ(m.lines.size(), 1u);
}

// The lookups by name are an index of their own: it must follow every add,
// rename and removal, in folders of thousands of entries, and never hold an
// entry that is gone.
// aside: the indexes are set aside (as a layout does) before each step, so
// each step files every entry again first.
void CheckLookupsFollowChanges(bool aside) {
  Compilation c;
  c.ResetCompilation(100000, 100);
  std::vector<TDEntry*> dirs;
  for (int k = 0; k < 3; ++k) dirs.push_back(c.CreateDir(nullptr, "d" + std::to_string(k), 16));
  constexpr int kFiles = 900;
  const auto name = [](int k, int i) { return "d" + std::to_string(k) + "f" + std::to_string(i) + ".dat"; };
  std::vector<std::vector<TFEntry*>> entries(3);
  platform::TSearchRec rec;
  rec.Attr = 32;
  rec.Time = 1700000000;
  for (int i = 0; i < kFiles; ++i)
    for (int k = 0; k < 3; ++k) {
      rec.Name = name(k, i);
      rec.Size = i;
      entries[k].push_back(c.AddFileEntry(dirs[k], "/nonexistent", rec, 0));
      ASSERT_NE(entries[k].back(), nullptr);
    }
  // The ISO names are indexed from the first question on, and kept so.
  if (aside) c.SetIndexesAside();
  ASSERT_TRUE(c.IsoNameInUse(dirs[0], "D0F0.DAT"));
  if (aside) c.SetIndexesAside();
  // Removed from the end backwards, renamed from the start: holes open in
  // every stretch of the index.
  for (int i = kFiles - 1; i >= 0; --i)
    for (int k = 0; k < 3; ++k)
      if (i % 3 == 0) ASSERT_TRUE(c.RemoveEntry(entries[k][i]));
  if (aside) c.SetIndexesAside();
  for (int i = 0; i < kFiles; ++i)
    for (int k = 0; k < 3; ++k)
      if (i % 3 == 1) {
        c.SetJolietName(entries[k][i], "renamed " + name(k, i));
        c.SetIsoName(entries[k][i], "R" + std::to_string(k) + "_" + std::to_string(i) + ".DAT");
      }
  if (aside) c.SetIndexesAside();
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < kFiles; ++i) {
      SCOPED_TRACE(name(k, i));
      const std::string upper = Compilation::UpperAscii(name(k, i));
      const std::string renamedIso = "R" + std::to_string(k) + "_" + std::to_string(i) + ".DAT";
      switch (i % 3) {
        case 0:
          EXPECT_EQ(c.FindChild(dirs[k], name(k, i), false), nullptr);
          EXPECT_FALSE(c.IsoNameInUse(dirs[k], upper));
          break;
        case 1:
          EXPECT_EQ(c.FindChild(dirs[k], name(k, i), false), nullptr);
          EXPECT_EQ(c.FindChild(dirs[k], "renamed " + name(k, i), false), entries[k][i]);
          EXPECT_TRUE(c.IsoNameInUse(dirs[k], renamedIso));
          EXPECT_TRUE(c.IsoNameInUse(dirs[k], renamedIso + "."));  // trailing dots ignored
          EXPECT_FALSE(c.IsoNameInUse(dirs[k], renamedIso, entries[k][i]));
          EXPECT_FALSE(c.IsoNameInUse(dirs[(k + 1) % 3], renamedIso));
          break;
        default:
          EXPECT_EQ(c.FindChild(dirs[k], name(k, i), false), entries[k][i]);
          EXPECT_EQ(c.FindFile(dirs[k], name(k, i)), entries[k][i]);
          EXPECT_EQ(c.FindChild(dirs[k], name(k, i), true), nullptr);
          EXPECT_EQ(c.FindChild(dirs[(k + 1) % 3], name(k, i), false), nullptr);
          EXPECT_TRUE(c.IsoNameInUse(dirs[k], upper));
      }
    }
  // A whole folder goes; the index is probed past where its entries were.
  if (aside) c.SetIndexesAside();
  ASSERT_TRUE(c.RemoveDir(dirs[2]));
  if (aside) c.SetIndexesAside();
  TDEntry* added = c.CreateDir(nullptr, "d3", 16);
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(c.FindChild(c.Root(), "d3", true), added->Node);
  for (int i = 0; i < kFiles; ++i) {
    rec.Name = name(2, i);
    ASSERT_NE(c.AddFileEntry(dirs[0], "/nonexistent", rec, 0), nullptr);
  }
  for (int i = 2; i < kFiles; i += 3) EXPECT_EQ(c.FindChild(dirs[0], name(0, i), false), entries[0][i]);
  // A name in use stays refused.
  rec.Name = name(0, 2);
  if (aside) c.SetIndexesAside();
  EXPECT_EQ(c.AddFileEntry(dirs[0], "/nonexistent", rec, 0), nullptr);
  EXPECT_EQ(c.FileCount(), 3 + 2 * kFiles / 3 * 2 + kFiles);
}

TEST(Compilation, LookupsByNameFollowAddsRenamesAndRemovals) { CheckLookupsFollowChanges(false); }

// Set aside during the layout and the writing of a session, the lookups are
// rebuilt from the entries on the next change or search.
TEST(Compilation, LookupsSetAsideAreFiledAgainOnTheNextChange) { CheckLookupsFollowChanges(true); }

}  // namespace
}  // namespace velloran::image
