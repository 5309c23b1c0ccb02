// The main window driven as a person drives it: mouse and key events that
// enter through the window (QTEST_QPA_MOUSE_HANDLING routes QTest's mouse
// events through the platform window, so enter, leave, hover and the mouse
// grab behave as on a desktop), the real message boxes and dialogs, and
// assertions on what the person sees.
#define QTEST_QPA_MOUSE_HANDLING
#include "app_test_util.h"

#include "app/burn.h"
#include "app/progress.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QPointer>
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
  bool detailsShownAtFirst = true, detailsShownAfterClick = false;
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
  // The log of this burn, from its first line.
  EXPECT_TRUE(details.startsWith(">>> STARTING WRITE PROCESS ON CD-R")) << details.toStdString();
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

}  // namespace
}  // namespace velloran::app::testing
