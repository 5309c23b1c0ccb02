// The main window driven as a person drives it: mouse and key events that
// enter through the window (QTEST_QPA_MOUSE_HANDLING routes QTest's mouse
// events through the platform window, so enter, leave, hover and the mouse
// grab behave as on a desktop), the real message boxes and dialogs, and
// assertions on what the person sees.
#define QTEST_QPA_MOUSE_HANDLING
#include "app_test_util.h"

#include "app/burn.h"
#include "app/formats.h"
#include "app/progress.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QDrag>
#include <QDragEnterEvent>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QScreen>
#include <QLabel>
#include <QPointer>
#include <QScrollBar>
#include <QSettings>
#include <QSplitter>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>

namespace velloran::app::testing {
namespace {

// The person in front of the screen: whenever a new modal window comes up,
// `answer` gets it once and works it with the mouse and keyboard. Answers
// nest: a window that comes up while another is being answered (a job's
// end during a click) is answered too.
class Person {
 public:
  explicit Person(std::function<void(QWidget*)> answer) : answer_(std::move(answer)) {
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || modal == last_ || !modal->isVisible()) return;
      last_ = modal;
      answer_(modal);
    });
    timer_.start();
  }

 private:
  std::function<void(QWidget*)> answer_;
  QTimer timer_;
  QPointer<QWidget> last_;
};

// Presses Enter where the keyboard focus is, as a person's keyboard does.
void PressEnter(QWidget* window) {
  QWidget* focus = QApplication::focusWidget();
  QTest::keyClick(focus && window->isAncestorOf(focus) ? focus : window, Qt::Key_Return);
}

QAbstractButton* ButtonWithText(QWidget* window, const QString& prefix) {
  for (QAbstractButton* b : window->findChildren<QAbstractButton*>())
    if (b->isVisible() && b->text().remove('&').startsWith(prefix)) return b;
  return nullptr;
}

// The platform's part of a drag, which the offscreen platform cannot play
// (QDrag::exec returns at once there): the pointer travels to `to` (global
// coordinates) and is released; the widget under it that takes drops gets
// the drag's enter, move and drop events, with the drag's own data.
Qt::DropAction DropAt(QDrag* drag, Qt::DropActions actions, QWidget* window, QPoint to) {
  QWidget* target = window->childAt(window->mapFromGlobal(to));
  while (target && !target->acceptDrops()) target = target->parentWidget();
  if (!target) return Qt::IgnoreAction;
  const QPoint at = target->mapFromGlobal(to);
  QDragEnterEvent enter(at, actions, drag->mimeData(), Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  if (!enter.isAccepted()) return Qt::IgnoreAction;
  QDragMoveEvent move(at, actions, drag->mimeData(), Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &move);
  if (!move.isAccepted()) return Qt::IgnoreAction;
  QDropEvent drop(at, actions, drag->mimeData(), Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
  return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
}

class RealInputTest : public MainWindowTest {
 protected:
  // The real message boxes and modal dialogs instead of scripted answers.
  void RealDialogs() {
    const OpenUrlFunction open = Hooks().openUrl;
    RestoreDefaultHooks();
    Hooks().openUrl = open;
  }
};

TEST_F(RealInputTest, AFailedBurnSaysWhyAndShowsTheJobsLogOnRequest) {
  Insert(vrec::MediumKind::CdR);
  Start();
  WriteFile("Data/one.bin", 2 * 1048576, 'a');
  DropOnList({"Data"});
  std::string why;
  ASSERT_TRUE(recorder_->SetWriteError(100, 0x03, 0x0C, 0x00, &why)) << why;  // medium error, write
  RealDialogs();
  QString text, reason, details;
  bool detailsShownAtFirst = true, detailsShownAfterClick = false, endInSight = false;
  Person person([&](QWidget* modal) {
    if (auto* burn = qobject_cast<TfrmBurn*>(modal)) {
      QTest::mouseClick(burn->cEject, Qt::LeftButton);  // off: nothing to eject after a failure anyway
      QTest::mouseClick(burn->btnBurn, Qt::LeftButton);
    } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      text = box->text();
      reason = box->informativeText();
      auto* area = box->findChild<QTextEdit*>();
      detailsShownAtFirst = area && area->isVisible();
      if (QAbstractButton* show = ButtonWithText(box, "Show Details")) {
        QTest::mouseClick(show, Qt::LeftButton);
        detailsShownAfterClick = area && area->isVisible();
        details = area ? area->toPlainText() : QString();
        QTest::qWait(50);
        // The end of the log, where the failure is, in sight from the left.
        endInSight = area && area->verticalScrollBar()->maximum() > 0 &&
                     area->verticalScrollBar()->value() == area->verticalScrollBar()->maximum() &&
                     area->horizontalScrollBar()->value() == 0;
      }
      // The keyboard focus is on the details button now: OK takes a click.
      QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    }
  });
  QTest::mouseClick(w().btnBurn, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return !text.isEmpty() && !QApplication::activeModalWidget(); }));
  EXPECT_EQ(text, "Operation done with error occured.");
  EXPECT_EQ(reason, "WRITER ERROR [MEDIUM ERROR (WRITE ERROR)]");
  EXPECT_FALSE(detailsShownAtFirst);
  EXPECT_TRUE(detailsShownAfterClick);
  // The log of this burn, down to the command the drive failed.
  EXPECT_TRUE(details.contains(">>> STARTING WRITE PROCESS ON CD-R")) << details.toStdString();
  EXPECT_TRUE(details.contains("<<< WRITE (10)")) << details.toStdString();
  EXPECT_TRUE(endInSight);
}

TEST_F(RealInputTest, EnterOnTheEraseQuestionKeepsTheDisc) {
  Insert(vrec::MediumKind::CdRw);
  Start();
  WriteFile("a.bin", 100000, 'a');
  DropOnList({"a.bin"});
  onModal_ = [&](QDialog* d) {
    auto* burn = qobject_cast<TfrmBurn*>(d);
    burn->show();
    burn->cEject->setChecked(false);
    burn->btnBurn->click();
    EXPECT_TRUE(WaitFor([&] { return !burn->isVisible(); }));
    return burn->result();
  };
  w().btnBurnClick();
  ASSERT_EQ(Status().completeSessions, 1);
  messages_.clear();

  RealDialogs();
  QString question, defaultButton;
  Person person([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (!box) return;
    question = box->text();
    if (box->defaultButton()) defaultButton = box->defaultButton()->text().remove('&');
    PressEnter(box);
  });
  QTest::mouseClick(w().btnErase, Qt::LeftButton);
  EXPECT_EQ(question, "All data on the CD will be lost,\nAre you sure you want to erase the Disc?");
  EXPECT_EQ(defaultButton, "No");
  EXPECT_FALSE(w().frmProgress->isVisible());
  EXPECT_FALSE(w().zcdb.Erasing());
  EXPECT_EQ(Status().completeSessions, 1) << "Enter erased the disc";
}

TEST_F(RealInputTest, HoveringEveryControlLeavesTheWindowsSizeAlone) {
  Insert(vrec::MediumKind::CdR);
  Start();
  w().resize(691, 465);  // as narrow as the hint line gets
  QTest::qWait(50);
  const QSize size = w().size();
  // Into the window first: the platform's mouse enters it at its edge.
  QTest::mouseMove(w().CoolBar1, QPoint(w().CoolBar1->width() - 60, 4));
  int hovered = 0;
  QString longest;
  for (QWidget* control : w().findChildren<QWidget*>()) {
    if (!control->isVisible() || control->statusTip().isEmpty()) continue;
    QTest::mouseMove(control);
    QTest::mouseMove(control, control->rect().center() + QPoint(1, 1));
    ++hovered;
    EXPECT_EQ(w().Label3->text(), HintLongPart(control->statusTip())) << control->objectName().toStdString();
    EXPECT_EQ(w().size(), size) << "after hovering " << control->objectName().toStdString();
    if (control->statusTip().size() > longest.size()) longest = control->statusTip();
  }
  EXPECT_GE(hovered, 15);
  // The drive's line is longer than the hint line: it shows cut, in the
  // space the line has.
  QTest::mouseMove(w().cbDrives);
  EXPECT_EQ(w().Label3->text(), w().cbDrives->currentText());
  const QString shown = w().Label3->ShownText();
  EXPECT_TRUE(shown.endsWith(QChar(0x2026))) << shown.toStdString();
  EXPECT_TRUE(w().cbDrives->currentText().startsWith(shown.chopped(1))) << shown.toStdString();
  EXPECT_LE(w().Label3->fontMetrics().horizontalAdvance(shown), w().Label3->width());
  QTest::qWait(50);
  EXPECT_EQ(w().size(), size);
}

TEST_F(RealInputTest, TheFolderDraggedFromTheTreeIsTheOnePressed) {
  // The folders sit where the tree above them stays still: first in /tmp,
  // whose other entries come and go while tests run.
  char pattern[] = "/tmp/0velloran-drag-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path quiet = pattern;
  struct Remove {
    fs::path p;
    ~Remove() {
      std::error_code ec;
      fs::remove_all(p, ec);
    }
  } remove{quiet};
  for (int i = 0; i < 40; ++i) {
    const fs::path inner = quiet / "src" / QString("f%1").arg(i, 2, 10, QChar('0')).toStdString() / "inner";
    fs::create_directories(inner);
    std::ofstream(inner / "x.txt") << "x";
  }
  const QString src = QString::fromStdString((quiet / "src").string());
  Insert(vrec::MediumKind::CdR);
  Start();
  TShellTreeView* tree = w().ShellTreeView1;
  QFileSystemModel* model = tree->Model();
  ASSERT_TRUE(tree->SetPath(src));
  // (Indexes are looked up by path each time: the model sorts what it reads.)
  ASSERT_TRUE(WaitFor([&] { return model->rowCount(model->index(src)) == 40; }));
  QTest::qWait(200);
  ASSERT_TRUE(tree->isExpanded(model->index(src))) << "the chosen folder is opened";
  // A folder in sight, well away from the tree's middle.
  QString name;
  for (int row = 39; row >= 0 && name.isEmpty(); --row) {
    const QModelIndex index = model->index(row, 0, model->index(src));
    const QRect r = tree->visualRect(index);
    if (r.isValid() && r.top() >= 0 && r.bottom() < tree->viewport()->height()) name = model->fileName(index);
  }
  ASSERT_FALSE(name.isEmpty()) << "none of the chosen folder's folders is in sight";
  const QString path = src + "/" + name;
  const QPoint at = tree->visualRect(model->index(path)).center();

  // A click selects it, and the tree stays where it is while the folder's
  // contents load.
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, at);
  EXPECT_EQ(tree->Path(), path);
  QTest::qWait(300);
  EXPECT_EQ(model->filePath(tree->indexAt(at)), path) << "the tree moved under the pointer";

  // Pressed again and dragged onto the layout list.
  QWidget* list = w().ListView1->viewport();
  const QPoint dropAt = list->mapToGlobal(list->rect().center());
  bool dragged = false;
  Hooks().drag = [&](QDrag* drag, Qt::DropActions actions, Qt::DropAction) {
    dragged = true;
    return DropAt(drag, actions, &w(), dropAt);
  };
  QTest::mousePress(tree->viewport(), Qt::LeftButton, Qt::NoModifier, at);
  for (int step = 1; step <= 4; ++step)
    QTest::mouseMove(tree->viewport(), at + QPoint(step * QApplication::startDragDistance(), step));
  QTest::mouseRelease(tree->viewport(), Qt::LeftButton, Qt::NoModifier, at + QPoint(40, 4));
  ASSERT_TRUE(dragged) << "no drag started";
  EXPECT_EQ(ListNames(), QStringList{name});
  EXPECT_NE(w().zcdb.FindDir("\\" + name.toStdString() + "\\inner"), nullptr);
  ASSERT_EQ(w().TopNode()->childCount(), 1);
  EXPECT_EQ(w().TopNode()->child(0)->text(0), name);
  EXPECT_EQ(w().zcdb.DirCount(), 2);
}

TEST_F(RealInputTest, TheRestoredFolderIsInSightWithTheFilesOnTop) {
  for (int i = 0; i < 60; ++i) WriteFile(QString("f%1/x.txt").arg(i, 2, 10, QChar('0')).toStdString(), 10);
  const QString last = Src() + "/f45";
  {
    QSettings ini(SettingsFileName(), QSettings::IniFormat);
    ini.setValue("Form/View", true);
    ini.setValue("Shell/LastOpenDir", last);
  }
  Insert(vrec::MediumKind::CdR);
  Start();
  ASSERT_TRUE(w().View);
  TShellTreeView* tree = w().ShellTreeView1;
  EXPECT_EQ(tree->Path(), last);
  const auto inSight = [&] {
    const QRect r = tree->visualRect(tree->Model()->index(last));
    return r.isValid() && r.top() >= 0 && r.bottom() < tree->viewport()->height() && r.left() >= 0 &&
           r.left() < tree->viewport()->width();
  };
  // Once the folders have been read and the window laid out, it shows.
  EXPECT_TRUE(WaitFor([&] { return tree->Model()->rowCount(tree->Model()->index(Src())) == 60 && inSight(); }, 5000));
  QTest::qWait(300);
  EXPECT_TRUE(inSight()) << "scroll " << tree->verticalScrollBar()->value();
}

TEST_F(RealInputTest, TheFirstSizeShowsEveryColumnOfBothPanes) {
  SparseFile("holiday-video.mkv", 350 * 1048576);
  WriteFile("Photos/2026 Summer/beach.jpg", 1500000);
  WriteFile("README.txt", 100);
  WriteFile("report.pdf", 64000);
  WriteFile("backup.zip", 64000);
  // Enough entries that both lists need their vertical scroll bar, which
  // takes its width from the columns' room.
  QStringList names{"holiday-video.mkv", "Photos", "README.txt", "report.pdf", "backup.zip"};
  for (int i = 0; i < 40; ++i) {
    names << QString("note%1.txt").arg(i, 2, 10, QChar('0'));
    WriteFile(names.back().toStdString(), 10);
  }
  Insert(vrec::MediumKind::CdR);
  Start();
  const QRect room = w().screen()->availableGeometry();
  EXPECT_EQ(room.size(), QSize(1366, 768));
  EXPECT_TRUE(room.contains(w().frameGeometry())) << "larger than the screen: " << w().frameGeometry().x() << "," << w().frameGeometry().y() << " " << w().frameGeometry().width() << "x" << w().frameGeometry().height() << " inner " << w().width() << "x" << w().height();
  DropOnList(names);
  ASSERT_TRUE(w().ShellTreeView1->SetPath(Src()));
  ASSERT_TRUE(WaitFor([&] { return w().ShellListView1->Model()->rowCount(w().ShellListView1->Model()->index(Src())) == 45; }));
  const QList<QTreeView*> lists{w().ListView1, w().ShellListView1->DetailsView()};
  // The file list learns its entries' types and sizes in the background:
  // the columns settle once that is done.
  WaitFor([&] { return std::all_of(lists.begin(), lists.end(), [](QTreeView* v) { return v->horizontalScrollBar()->maximum() == 0; }); }, 3000);
  QTest::qWait(100);
  for (QTreeView* view : lists) {
    const std::string name = view->objectName().toStdString();
    QHeaderView* header = view->header();
    ASSERT_EQ(header->count(), 4) << name;
    EXPECT_TRUE(view->verticalScrollBar()->isVisible()) << name;
    EXPECT_EQ(view->horizontalScrollBar()->maximum(), 0) << name << " scrolls sideways";
    for (int c = 0; c < 4; ++c) {
      EXPECT_LE(header->sectionViewportPosition(c) + header->sectionSize(c), view->viewport()->width())
          << name << ": column " << c << " out of sight";
      EXPECT_GE(header->sectionSize(c), header->sectionSizeHint(c)) << name << ": the header of column " << c << " is cut";
    }
    EXPECT_GE(header->sectionSize(0), 80) << name;
  }
  // The layout list's sizes and dates show in full; names and types are the
  // ones cut when room is short.
  for (int c : {1, 3})
    EXPECT_GE(w().ListView1->columnWidth(c), static_cast<QAbstractItemView*>(w().ListView1)->sizeHintForColumn(c)) << c;
  // The chosen folder's name shows in full in the file tree.
  TShellTreeView* tree = w().ShellTreeView1;
  const QRect r = tree->visualRect(tree->currentIndex());
  const int textRight = r.left() + (tree->iconSize().isValid() ? tree->iconSize().width() : 16) + 8 + tree->fontMetrics().horizontalAdvance("src");
  EXPECT_GT(r.left(), 0);
  EXPECT_LE(textRight, tree->viewport()->width());
}

// Drags a splitter's handle `by` pixels with the mouse. The handle moves
// under the pointer, so the points are fixed in the window's coordinates.
void DragSplitter(QWidget* window, QSplitter* splitter, int by) {
  QSplitterHandle* handle = splitter->handle(1);
  const QPoint from = handle->mapTo(window, handle->rect().center());
  const QPoint to = from + (splitter->orientation() == Qt::Horizontal ? QPoint(by, 0) : QPoint(0, by));
  QTest::mousePress(window, Qt::LeftButton, Qt::NoModifier, from);
  QTest::mouseMove(window, (from + to) / 2);
  QTest::mouseMove(window, to);
  QTest::mouseRelease(window, Qt::LeftButton, Qt::NoModifier, to);
}

TEST_F(RealInputTest, TheWindowAndItsSplittersOpenAsTheyWereLeft) {
  Insert(vrec::MediumKind::CdR);
  Start();
  w().move(120, 60);
  w().resize(1100, 640);
  QTest::qWait(50);
  const int tree = w().Splitter2->sizes()[0], pane = w().Splitter1->sizes()[0];
  DragSplitter(&w(), w().Splitter2, -60);
  EXPECT_NEAR(w().Splitter2->sizes()[0], tree - 60, 1);
  DragSplitter(&w(), w().Splitter1, 80);
  EXPECT_NEAR(w().Splitter1->sizes()[0], pane + 80, 1);
  // A larger window keeps the proportions the person set.
  const double share = static_cast<double>(w().Splitter1->sizes()[0]) / w().frameGeometry().width();
  w().resize(1250, 700);
  QTest::qWait(50);
  EXPECT_NEAR(static_cast<double>(w().Splitter1->sizes()[0]) / w().frameGeometry().width(), share, 0.002);
  const QRect geometry = w().geometry();
  const QList<int> sizes1 = w().Splitter1->sizes(), sizes2 = w().Splitter2->sizes(), sizes3 = w().Splitter3->sizes();
  w().close();

  window_.reset();
  GlobalVars() = TGlobalVars{};
  Start();
  QTest::qWait(50);
  EXPECT_EQ(w().geometry(), geometry);
  for (const auto& [splitter, sizes] : {std::pair{w().Splitter1, sizes1}, {w().Splitter2, sizes2}, {w().Splitter3, sizes3}})
    for (int i = 0; i < 2; ++i)
      EXPECT_NEAR(splitter->sizes()[i], sizes[i], 1) << splitter->objectName().toStdString();
}

}  // namespace
}  // namespace velloran::app::testing
