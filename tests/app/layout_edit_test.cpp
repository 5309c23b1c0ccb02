// Editing the compilation in the main window: drops from the shell views,
// new folders, deletion, and the capacity gauge that follows them.
#include "app_test_util.h"

#include "app/newfolder.h"

#include <QLineEdit>
#include <QListView>
#include <QProgressDialog>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>

namespace velloran::app::testing {
namespace {

constexpr std::int64_t kMB = 1048576;

// The folder walk enters entries in the order the file system lists them.
QStringList Sorted(QStringList list) {
  list.sort();
  return list;
}

class LayoutEditTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    Insert(vrec::MediumKind::CdR);
    Start();
  }

  QTreeWidgetItem* Child(QTreeWidgetItem* node, const QString& text) {
    for (int i = 0; node && i < node->childCount(); ++i)
      if (node->child(i)->text(0) == text) return node->child(i);
    return nullptr;
  }
  QTreeWidgetItem* ListItem(const QString& name) {
    for (int i = 0; i < w().ListView1->topLevelItemCount(); ++i)
      if (w().ListView1->topLevelItem(i)->text(0) == name) return w().ListView1->topLevelItem(i);
    return nullptr;
  }
};

TEST_F(LayoutEditTest, DropOnTheListAddsFoldersAsFoldersAndFilesAndZipsAsFiles) {
  WriteFile("Photos/a.jpg", 1500000);
  WriteFile("Photos/Trip/b.txt", 1024);
  WriteFile("notes.txt", 0);
  WriteFile("archive.zip", 3 * kMB);
  DropOnList({"Photos", "notes.txt", "archive.zip"});

  // The folder became a tree node with its subfolders; the list shows the root.
  QTreeWidgetItem* photos = Child(w().TopNode(), "Photos");
  ASSERT_NE(photos, nullptr);
  EXPECT_NE(Child(photos, "Trip"), nullptr);
  EXPECT_EQ(w().NodeDir(photos), w().zcdb.FindDir("\\Photos"));
  EXPECT_EQ(Sorted(ListNames()), (QStringList{"Photos", "archive.zip", "notes.txt"}));
  EXPECT_EQ(ListItem("Photos")->text(2), "Folder");
  EXPECT_EQ(ListItem("Photos")->text(1), "");
  EXPECT_EQ(ListItem("notes.txt")->text(1), "1 KB");
  EXPECT_EQ(ListItem("archive.zip")->text(1), "3,073 KB");
  EXPECT_EQ(ListItem("archive.zip")->data(1, Qt::TextAlignmentRole).toInt(), int(Qt::AlignRight | Qt::AlignVCenter));
  EXPECT_FALSE(ListItem("archive.zip")->text(2).isEmpty());
  EXPECT_TRUE(QRegularExpression("^\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d$")
                  .match(ListItem("notes.txt")->text(3)).hasMatch());
  ASSERT_NE(w().zcdb.FindDir("\\Photos\\Trip"), nullptr);
  EXPECT_NE(w().zcdb.FindFile(w().zcdb.FindDir("\\Photos"), "a.jpg"), nullptr);
  EXPECT_NE(w().zcdb.FindFile(w().zcdb.RootDir(), "archive.zip"), nullptr);
  // Gauge: the folder (1 MB rounded), the empty file (0) and the zip (3 MB).
  EXPECT_EQ(w().fs->Value(), 1 + 0 + 3);
  EXPECT_EQ(w().fs->ValueMax(), 800);

  // A double click on a folder in the list opens it in the tree.
  w().ListView1->clearSelection();
  ListItem("Photos")->setSelected(true);
  w().ListView1DblClick();
  EXPECT_EQ(w().tvdir->currentItem(), photos);
  EXPECT_EQ(Sorted(ListNames()), (QStringList{"Trip", "a.jpg"}));
  EXPECT_EQ(ListItem("a.jpg")->text(1), "1,465 KB");
}

TEST_F(LayoutEditTest, DropOnATreeNodeAddsInsideItAndTheShellTreeDropsItsFolder) {
  WriteFile("Music/x.mp3", 2 * kMB);
  WriteFile("Docs/readme", 10);
  WriteFile("Docs/Sub/y.txt", 10);
  DropOnList({"Music"});
  QTreeWidgetItem* music = Child(w().TopNode(), "Music");
  ASSERT_NE(music, nullptr);

  // The shell tree's folder dropped on the Music node lands inside it.
  ASSERT_TRUE(w().ShellTreeView1->SetPath(Src() + "/Docs"));
  w().tvdirDragDrop(w().ShellTreeView1, music);
  QTreeWidgetItem* docs = Child(music, "Docs");
  ASSERT_NE(docs, nullptr);
  EXPECT_NE(Child(docs, "Sub"), nullptr);
  ASSERT_NE(w().zcdb.FindDir("\\Music\\Docs\\Sub"), nullptr);
  EXPECT_NE(w().zcdb.FindFile(w().zcdb.FindDir("\\Music\\Docs"), "readme."), nullptr) << "a name without a dot gets one";

  // A file from the list dropped on no node goes to the root, shown at once.
  w().tvdir->setCurrentItem(w().TopNode());
  w().ShellListView1->SetPath(Src() + "/Music");
  w().ShellListView1->SelectNames({"x.mp3"});
  w().tvdirDragDrop(w().ShellListView1, nullptr);
  EXPECT_NE(w().zcdb.FindFile(w().zcdb.RootDir(), "x.mp3"), nullptr);
  EXPECT_TRUE(ListNames().contains("x.mp3"));
  EXPECT_EQ(w().fs->Value(), 2 + 0 + 2);
}

TEST_F(LayoutEditTest, DropsAreAcceptedFromTheShellViewsOnly) {
  EXPECT_TRUE(w().AcceptsDragFrom(w().ShellListView1->DetailsView()));
  EXPECT_TRUE(w().AcceptsDragFrom(w().ShellListView1->IconView()));
  EXPECT_TRUE(w().AcceptsDragFrom(w().ShellTreeView1));
  EXPECT_FALSE(w().AcceptsDragFrom(w().ListView1));
  EXPECT_FALSE(w().AcceptsDragFrom(w().tvdir));
  EXPECT_FALSE(w().AcceptsDragFrom(nullptr));  // another program
}

TEST_F(LayoutEditTest, LargeFoldersRaiseTheScale) {
  SparseFile("Big/one.bin", 850 * kMB);
  SparseFile("More/two.bin", 50 * kMB);
  DropOnList({"Big"});
  EXPECT_EQ(w().fs->Value(), 850);
  EXPECT_EQ(w().fs->ValueMax(), 1000);
  DropOnList({"More"});
  EXPECT_EQ(w().fs->Value(), 900);
  EXPECT_EQ(w().fs->ValueMax(), 1000);
  // The gauge counts a folder as it is on disk, even when its files are in
  // the compilation already and are left out.
  DropOnList({"More"});
  EXPECT_EQ(w().fs->Value(), 950);
  EXPECT_EQ(w().fs->ValueMax(), 1000);
  EXPECT_EQ(w().zcdb.Tree().FileCount() - w().zcdb.Tree().DirCount(), 2);
}

TEST_F(LayoutEditTest, NewFolderFiltersItsNameAndRefusesABlankOne) {
  int calls = 0;
  onModal_ = [&](QDialog* d) {
    auto* dialog = qobject_cast<Tfrmnewfolder*>(d);
    EXPECT_NE(dialog, nullptr);
    if (!dialog) return static_cast<int>(QDialog::Rejected);
    EXPECT_EQ(dialog->windowTitle(), "Input new directory name");
    dialog->show();
    if (calls++ == 0) {
      QTest::keyClicks(dialog->Edit1, "   ");
      dialog->btnOK->click();
      EXPECT_TRUE(dialog->isVisible()) << "a blank name keeps the dialog open";
      dialog->Edit1->clear();
    }
    QTest::keyClicks(dialog->Edit1, " a:b*c ");
    dialog->btnOK->click();
    return dialog->result();
  };
  w().btnnewfolderClick();
  EXPECT_EQ(MessageTexts(), QStringList{"Please input new directory name."});
  EXPECT_EQ(messages_[0].kind, MsgKind::Warning);
  QTreeWidgetItem* node = Child(w().TopNode(), "abc");
  ASSERT_NE(node, nullptr);
  EXPECT_NE(w().zcdb.FindDir("\\abc"), nullptr);
  EXPECT_EQ(w().NodeDir(node), w().zcdb.FindDir("\\abc"));
  // The selection stays where it was, and the list shows the new folder.
  EXPECT_EQ(w().tvdir->currentItem(), w().TopNode());
  EXPECT_EQ(ListNames(), QStringList{"abc"});

  // Cancel adds nothing.
  onModal_ = [](QDialog*) { return static_cast<int>(QDialog::Rejected); };
  w().btnnewfolderClick();
  EXPECT_EQ(w().TopNode()->childCount(), 1);
}

TEST_F(LayoutEditTest, DeleteFilesAndFoldersFromTheListAdjustsTheGauge) {
  SparseFile("Set/Keep/k.bin", 100 * kMB);
  SparseFile("Set/Gone/g.bin", 300 * kMB);
  SparseFile("Set/f.bin", 50 * kMB);
  SparseFile("Set/h.bin", 20 * kMB);
  DropOnList({"Set"});
  EXPECT_EQ(w().fs->Value(), 470);
  QTreeWidgetItem* set = Child(w().TopNode(), "Set");
  ASSERT_NE(set, nullptr);
  w().tvdir->setCurrentItem(set);
  ASSERT_EQ(Sorted(ListNames()), (QStringList{"Gone", "Keep", "f.bin", "h.bin"}));

  ListItem("Gone")->setSelected(true);
  ListItem("f.bin")->setSelected(true);
  w().DeleteFromList = true;
  w().btnDeleteClick();
  EXPECT_EQ(Sorted(ListNames()), (QStringList{"Keep", "h.bin"}));
  EXPECT_EQ(Child(set, "Gone"), nullptr);
  EXPECT_EQ(w().zcdb.FindDir("\\Set\\Gone"), nullptr);
  EXPECT_EQ(w().zcdb.FindFile(w().zcdb.FindDir("\\Set"), "f.bin"), nullptr);
  EXPECT_NE(w().zcdb.FindFile(w().zcdb.FindDir("\\Set"), "h.bin"), nullptr);
  EXPECT_EQ(w().fs->Value(), 120);
  EXPECT_EQ(w().fs->ValueMax(), 800);

  // A folder larger than the gauge's count takes it to 0, not below.
  w().fs->SetValue(30);
  w().tvdir->setCurrentItem(Child(set, "Keep"));
  w().btnDeleteClick();  // the tree has the selection
  EXPECT_EQ(w().fs->Value(), 0);
  EXPECT_EQ(w().zcdb.FindDir("\\Set\\Keep"), nullptr);
  EXPECT_EQ(w().tvdir->currentItem(), w().TopNode());
  EXPECT_EQ(Child(set, "Keep"), nullptr);
}

TEST_F(LayoutEditTest, DeletingTheTopNodeEmptiesTheCompilationWithoutAsking) {
  WriteFile("A/a.txt", 100);
  WriteFile("b.txt", 100);
  DropOnList({"A", "b.txt"});
  ASSERT_GT(w().zcdb.FileCount(), 0);
  w().tvdir->setCurrentItem(w().TopNode());
  w().btnDeleteClick();
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(w().zcdb.FileCount(), 0);
  EXPECT_EQ(w().zcdb.DirCount(), 0);
  EXPECT_EQ(w().TopNode()->childCount(), 0);
  EXPECT_EQ(w().ListView1->topLevelItemCount(), 0);
  EXPECT_EQ(w().fs->Value(), 0);
  EXPECT_EQ(w().fs->ValueMax(), 800);
  // The new compilation has the larger capacities.
  EXPECT_EQ(w().zcdb.Tree().MaxFiles(), 600000);
  EXPECT_EQ(w().zcdb.Tree().MaxDirs(), 20000);
}

TEST_F(LayoutEditTest, FoldersWhoseNamesDifferOnlyInCaseAreKeptAndDeletedApart) {
  WriteFile("Pair/Docs/a.txt", 100);
  WriteFile("Pair/docs/b.txt", 100);
  DropOnList({"Pair"});
  QTreeWidgetItem* pair = Child(w().TopNode(), "Pair");
  ASSERT_NE(pair, nullptr);
  w().tvdir->setCurrentItem(pair);
  ASSERT_EQ(Sorted(ListNames()), (QStringList{"Docs", "docs"}));
  ListItem("docs")->setSelected(true);
  w().DeleteFromList = true;
  w().btnDeleteClick();
  EXPECT_EQ(ListNames(), QStringList{"Docs"});
  const image::TDEntry* dir = w().zcdb.FindDir("\\Pair");
  ASSERT_NE(w().zcdb.Tree().FindChild(dir, "Docs", true), nullptr);
  EXPECT_EQ(w().zcdb.Tree().FindChild(dir, "docs", true), nullptr);
  EXPECT_NE(w().zcdb.FindFile(w().zcdb.FindDir("\\Pair\\Docs"), "a.txt"), nullptr);
}

// The window starts with the application's capacities, so a large folder
// goes in whole; when a compilation is full the status line says so, as
// the component only logs it.
TEST_F(LayoutEditTest, AFullCompilationIsSaidInTheStatusLine) {
  EXPECT_EQ(w().zcdb.Tree().MaxFiles(), 600000);
  EXPECT_EQ(w().zcdb.Tree().MaxDirs(), 20000);
  for (int i = 0; i < 12; ++i) WriteFile("Twelve/f" + std::to_string(i) + ".dat", 0);
  DropOnList({"Twelve"});
  EXPECT_EQ(w().Label3->text(), "\"Twelve\": 12 files added");

  w().zcdb.ResetCompilation(8, 100);
  w().ResetLayoutView();
  DropOnList({"Twelve"});
  EXPECT_EQ(w().zcdb.Tree().FileCount(), 8);  // the folder's node and 7 files
  EXPECT_EQ(w().Label3->text(), "\"Twelve\": 7 files added: the compilation is full (8 files, 100 folders at most)");
}

// A large folder takes a while to add: the hint line counts the files as
// they come, the window keeps handling events, and Cancel on the progress
// window stops the walk, keeping what was added and a compilation that
// holds together.
TEST_F(LayoutEditTest, ALargeDropShowsItsProgressAndCanBeStopped) {
  constexpr int kFiles = 1500;
  for (int i = 0; i < kFiles; ++i) WriteFile("Many/f" + std::to_string(i) + ".dat", 0);
  // Each file is slow to add, so the drop lasts long enough to be stopped.
  w().zcdb.OnAddFile = [](drive::TObject*, const std::string&, std::string&, std::string&, image::TDateTime&, int,
                          std::int64_t, bool&) { QThread::msleep(2); };
  QStringList hints;
  QTimer user;
  QObject::connect(&user, &QTimer::timeout, [&] {
    const QString hint = w().Label3->text();
    if (hints.isEmpty() || hints.back() != hint) hints << hint;
    for (QWidget* top : QApplication::topLevelWidgets())
      if (auto* progress = qobject_cast<QProgressDialog*>(top);
          progress && progress->objectName() == "AddingProgress" && progress->isVisible())
        progress->cancel();
  });
  user.start(20);
  DropOnList({"Many"});
  user.stop();

  const image::TDEntry* many = w().zcdb.FindDir("\\Many");
  ASSERT_NE(many, nullptr);
  int added = 0;
  for (const image::TFEntry* e = many->FirstChild; e; e = e->Next) ++added;
  EXPECT_GT(added, 0);
  EXPECT_LT(added, kFiles);
  EXPECT_EQ(w().zcdb.Tree().FileCount(), added + 1);
  // Counted while it ran, the stop reported at the end.
  EXPECT_TRUE(std::any_of(hints.begin(), hints.end(),
                          [](const QString& h) { return h.startsWith("Adding \"Many\": ") && h.endsWith(" files"); }))
      << hints.join(" | ").toStdString();
  EXPECT_EQ(w().Label3->text(), QString("Adding \"Many\" stopped: %L1 files added").arg(added));
  // The handler the window was given is back, and a later drop adds in full.
  EXPECT_TRUE(static_cast<bool>(w().zcdb.OnAddFile));
  w().zcdb.OnAddFile = nullptr;
  WriteFile("Few/a.txt", 10);
  WriteFile("Few/b.txt", 10);
  DropOnList({"Few"});
  EXPECT_EQ(w().Label3->text(), "\"Few\": 2 files added");
}

}  // namespace
}  // namespace velloran::app::testing
