// Draws the main window with a compilation loaded, and each dialog, into PNG
// files. scripts/screenshots.sh runs it under Xvfb with a virtual recorder,
// so the windows are the real ones on a real X display.
//
//   velloran_app_screenshots OUTPUT_DIR SOURCE_DIR [MORE_DIR]
//
// SOURCE_DIR's entries are dropped into the layout and burned twice, so the
// disc information dialog has two sessions to show; MORE_DIR's entries are
// added afterwards (large sparse files fill the gauge without being burned).
#include "app/burn.h"
#include "app/device_caps.h"
#include "app/import_session.h"
#include "app/main_form.h"
#include "app/newfolder.h"
#include "app/progress.h"
#include "app/ui_hooks.h"

#include <QAbstractButton>
#include <QApplication>
#include <QScreen>
#include <QStatusTipEvent>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QProcess>
#include <QPushButton>
#include <QSplitter>
#include <QTreeWidget>

#include <cstdio>

using namespace velloran::app;

namespace {

QString g_out;
int g_failures = 0;

void Pump(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

void Save(QWidget* w, const QString& name) {
  Pump(150);
  const QString file = QDir(g_out).filePath(name + ".png");
  if (!w->grab().save(file)) {
    std::fprintf(stderr, "could not write %s\n", qPrintable(file));
    ++g_failures;
  } else {
    std::printf("%s\n", qPrintable(file));
  }
}

bool WaitHidden(QWidget* w, int ms = 60000) {
  QElapsedTimer t;
  t.start();
  while (w->isVisible() && t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return !w->isVisible();
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  SetUpApplication();
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR SOURCE_DIR\n", argv[0]);
    return 2;
  }
  g_out = QString::fromLocal8Bit(argv[1]);
  const QString source = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();
  QDir().mkpath(g_out);

  QStringList told;
  Message failure;  // the first failure shown, drawn below with its details
  Hooks().message = [&](QWidget*, const Message& m) {
    told << m.text;
    if (failure.text.isEmpty() && !m.reason.isEmpty()) failure = m;
    // Questions are declined: the second burn records a session of its own.
    return static_cast<int>(m.buttons.testFlag(QMessageBox::No) ? QMessageBox::No : QMessageBox::Ok);
  };

  Tfrmmain w;
  w.show();
  Pump(300);
  if (w.cbDrives->count() == 0) {
    std::fprintf(stderr, "no drive found: %s\n", qPrintable(told.join("; ")));
    return 1;
  }
  w.ShellTreeView1->SetPath(source);
  Pump(500);
  w.ShellListView1->SelectNames(QDir(source).entryList(QDir::AllEntries | QDir::NoDotAndDotDot));
  w.ListView1DragDrop(w.ShellListView1);

  // Two sessions on the disc, burned through the burn dialog.
  // Burns through the burn dialog as a person would, the disc left in.
  const auto burnThroughDialog = [&](QDialog* d) {
    auto* burn = qobject_cast<TfrmBurn*>(d);
    if (!burn) return static_cast<int>(QDialog::Rejected);
    burn->show();
    burn->cEject->setChecked(false);
    burn->btnBurn->click();
    WaitHidden(burn);
    return burn->result();
  };
  Hooks().modal = burnThroughDialog;
  w.btnBurnClick();
  w.btnBurnClick();

  // More added after the burns, so the gauge has something to show.
  if (argc > 3) {
    const QString more = QDir(QString::fromLocal8Bit(argv[3])).absolutePath();
    w.ShellListView1->SetPath(more);
    Pump(300);
    w.ShellListView1->SelectNames(QDir(more).entryList(QDir::AllEntries | QDir::NoDotAndDotDot));
    w.ListView1DragDrop(w.ShellListView1);
    w.ShellTreeView1->SetPath(source);
  }

  // The main window at its first size with the compilation, a folder
  // opened in the tree, and a long hint in the status line.
  Hooks().modal = [](QDialog* d) { return d->exec(); };
  if (QTreeWidgetItem* top = w.TopNode(); top && top->childCount() > 0) {
    top->setExpanded(true);
    w.tvdir->setCurrentItem(top);
  }
  w.ShellListView1->SelectNames({});
  QStatusTipEvent tip(w.cbDrives->statusTip());
  QApplication::sendEvent(w.cbDrives, &tip);
  Save(&w, "main-window");
  std::printf("main window %dx%d on a %dx%d screen\n", w.frameGeometry().width(), w.frameGeometry().height(),
              w.screen()->geometry().width(), w.screen()->geometry().height());
  w.btnviewClick();
  Save(&w, "main-window-shell-on-top");
  w.btnviewClick();
  // As narrow as the design size: the hint line cuts, the window stays.
  const QSize first = w.size();
  w.resize(691, 465);
  Pump(100);
  Save(&w, "main-window-narrow");
  w.resize(first);

  // Each dialog, captured while it is up.
  Hooks().modal = [&](QDialog* d) {
    d->show();
    if (auto* burn = qobject_cast<TfrmBurn*>(d)) {
      burn->eVolLabel->setText("HOLIDAY2026");
      burn->cCloseDisc->setChecked(false);
      burn->cEject->setChecked(true);
      Save(d, "burn-dialog");
      burn->Label3->setText("Burning ...");
      burn->pcd->setMaximum(100);
      burn->pcd->setValue(42);
      Save(d, "burn-dialog-burning");
    } else if (qobject_cast<TfrmSessions*>(d)) {
      Save(d, "disc-information");
    } else if (auto* folder = qobject_cast<Tfrmnewfolder*>(d)) {
      folder->Edit1->setText("New Folder");
      Save(d, "new-folder");
    } else if (qobject_cast<TfrmDevCap*>(d)) {
      Save(d, "device-capabilities");
    }
    d->done(QDialog::Rejected);
    return static_cast<int>(QDialog::Rejected);
  };
  w.btnBurnClick();
  w.SpeedButton4Click();
  w.btnnewfolderClick();
  w.SpeedButton3Click();

  // The progress dialog as an image save shows it.
  w.frmProgress->setWindowTitle("Save as ISO File");
  w.frmProgress->Label1->setText("Saving (12.34 Mb) ...");
  w.frmProgress->NoCancel = false;
  w.frmProgress->pcd->setMaximum(100);
  w.frmProgress->pcd->setValue(60);
  w.frmProgress->show();
  Save(w.frmProgress, "progress-dialog");
  w.frmProgress->hide();

  // A completion message as the person sees it.
  QMessageBox box(QMessageBox::Information, "Information", "Operation process done successfully.", QMessageBox::Ok, &w);
  box.show();
  Save(&box, "message-done");
  box.hide();

  // A failed burn: the drive reports a write error a little into the new
  // session.
  {
    velloran::drive::TDisc disc{};
    w.zcdb.GetDiscInfo(disc);
    const QString lba = QString::number(w.zcdb.NextWritableAddress() + 100);
    const QString velloran = QDir(QCoreApplication::applicationDirPath()).filePath("velloran");
    if (QProcess::execute(velloran, {"recorder", "fault", "write-error", lba}) != 0) {
      std::fprintf(stderr, "could not set the recorder's write error\n");
      ++g_failures;
    }
  }
  Hooks().modal = burnThroughDialog;
  w.btnBurnClick();
  if (failure.text.isEmpty()) {
    std::fprintf(stderr, "the failed burn showed no reason\n");
    ++g_failures;
  } else {
    QMessageBox* error = NewMessageBox(&w, failure);
    error->show();
    Save(error, "message-error");
    for (QAbstractButton* b : error->buttons())
      if (error->buttonRole(b) == QMessageBox::ActionRole) b->click();  // "Show Details..."
    Save(error, "message-error-details");
    delete error;
  }

  // The erase question: No is the button Enter presses.
  Message question;
  question.kind = MsgKind::Warning;
  question.text = "All data on the CD will be lost,\nAre you sure you want to erase the Disc?";
  question.buttons = QMessageBox::Yes | QMessageBox::No;
  question.defaultButton = QMessageBox::No;
  QMessageBox* ask = NewMessageBox(&w, question);
  ask->show();
  Save(ask, "message-erase-question");
  delete ask;

  std::printf("messages shown: %s\n", qPrintable(told.join(" | ")));
  w.close();
  return g_failures ? 1 : 0;
}
