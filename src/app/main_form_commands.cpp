// The main window's commands that write or read the disc: Burn Now, Erase,
// Eject, the two image commands, the job-end handlers, and the disc and drive
// information dialogs.
#include "app/burn.h"
#include "app/device_caps.h"
#include "app/globals.h"
#include "app/import_session.h"
#include "app/main_form.h"
#include "app/progress.h"
#include "app/ui_hooks.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

namespace velloran::app {

namespace {
constexpr const char* kInsertDisc = "Please insert a writable disc in drive.";

// The files that differ, as many as a message box can show.
QString VerifyFailureList(const QStringList& lines) {
  constexpr int kShown = 20;
  QString text = lines.mid(0, kShown).join("\n");
  if (lines.size() > kShown) text += QString("\n... and %1 more").arg(lines.size() - kShown);
  return text;
}
}  // namespace

Message Tfrmmain::JobFailure(const QString& text, const QString& reason) const {
  Message m;
  m.kind = MsgKind::Warning;
  m.text = text;
  m.reason = reason;
  m.details = JobLog().join('\n');
  return m;
}

QString Tfrmmain::LastJobError() const {
  // The component logs its errors with message type 0; an erase ends with
  // no error text of its own, so its last error line says why.
  std::lock_guard lock(debugMutex_);
  return lastJobError_;
}

bool Tfrmmain::DriveReady() {
  if (!zcdb.TestUnitReady(5000)) zcdb.WaitUntilReady(10000, 5000);
  return zcdb.TestUnitReady(5000);
}

bool Tfrmmain::DriveHeldElsewhere() {
  const std::string held = zcdb.HeldElsewhere();
  if (held.empty()) return false;
  MessageDlg(this, MsgKind::Warning, QString::fromStdString(held));
  return true;
}

void Tfrmmain::SetSpeedFromList() {
  const int kbps = SpeedFromText(cbSpeed->currentText(), zcdb.GetDiscKind());
  zcdb.SetWriteSpeed(static_cast<std::uint16_t>(std::clamp(kbps, 0, 65535)));
}

void Tfrmmain::btnBurnClick() {
  if (zcdb.DirCount() == 0 && zcdb.FileCount() == 0) return;
  if (JobRunning() || DriveHeldElsewhere()) return;
  if (!DriveReady()) {
    MessageDlg(this, MsgKind::Warning, kInsertDisc);
    return;
  }
  if (!KeepFilesOnDisc()) return;
  if (cbSpeed->currentIndex() < 0 && cbSpeed->count() > 0) cbSpeed->setCurrentIndex(0);
  SetSpeedFromList();
  JobStarting(true);
  ExecModal(frmBurn);
}

bool Tfrmmain::KeepFilesOnDisc() {
  // Readers show only a disc's newest session: one without the earlier
  // files hides them. A compilation that imported a session has decided.
  if (zcdb.ImportedFileCount() > 0 || !zcdb.DiscHoldsFiles()) return true;
  Message question;
  question.kind = MsgKind::Confirmation;
  question.text = "The disc already holds files. Keep them in the new session?";
  question.buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
  question.defaultButton = QMessageBox::Yes;
  const int answer = MessageDlg(this, question);
  if (answer == QMessageBox::No) return true;
  if (answer != QMessageBox::Yes) return false;  // Cancel, or the box closed
  // Files of the compilation replace those of the disc with the same name.
  const bool imported = zcdb.ImportSession(255, zcdb.RootDir());
  RebuildLayoutView();
  if (!imported) {
    MessageDlg(this, MsgKind::Warning, "The files already on the disc could not be read.");
    return false;
  }
  return true;
}

void Tfrmmain::btnEraseClick() {
  if (JobRunning() || DriveHeldElsewhere()) return;
  if (!DriveReady()) {
    MessageDlg(this, MsgKind::Warning, kInsertDisc);
    return;
  }
  if (!zcdb.IsErasable() && zcdb.GetDiscKind() != drive::mmc::kKindDvdRam) {
    MessageDlg(this, MsgKind::Warning, "Disc is not Erasable.");
    return;
  }
  Message question;
  question.kind = MsgKind::Warning;
  question.text = "All data on the CD will be lost,\nAre you sure you want to erase the Disc?";
  question.buttons = QMessageBox::Yes | QMessageBox::No;
  question.defaultButton = QMessageBox::No;  // Enter must not erase a disc
  if (MessageDlg(this, question) != QMessageBox::Yes) return;
  JobStarting(true);
  frmProgress->NoCancel = true;
  frmProgress->setWindowTitle("Erase CD/DVD");
  frmProgress->pcd->setRange(0, 100);
  frmProgress->pcd->setValue(0);
  frmProgress->show();
  frmProgress->Label1->setText("Erase ...");
  Timer1->start();
  SetSpeedFromList();
  const bool started = zcdb.Erase(1);
  if (zcdb.Erasing()) {
    Timer1Timer();  // the bar as the drive reports, from the start
  } else if (!started && frmProgress->isVisible()) {
    // Not started and no end event (the drive was not ready after all):
    // nothing runs, so nothing may stay on screen waiting for it.
    Timer1->stop();
    frmProgress->hide();
    QString reason = LastJobError();
    if (reason.isEmpty()) reason = QString::fromStdString(zcdb.LastError);
    MessageDlg(this, JobFailure("Erase process done with error.", reason));
  }
}

void Tfrmmain::btnEjectClick() {
  // Never the disc of a running job, nor one that another program holds.
  if (JobRunning()) return;
  std::string refusal;
  if (zcdb.EjectMedium(refusal)) return;
  if (!refusal.empty())
    MessageDlg(this, MsgKind::Warning, QString::fromStdString(refusal));
  else
    MessageDlg(this, MsgKind::Plain, "Eject Medium command failed.");
}

void Tfrmmain::BurnFromISOFileClick() {
  if (JobRunning() || DriveHeldElsewhere()) return;
  if (!zcdb.TestUnitReady(5000)) {
    MessageDlg(this, MsgKind::Warning, kInsertDisc);
    return;
  }
  drive::TDisc disc{};
  zcdb.GetDiscInfo(disc);
  if (zcdb.NextWritableAddress() != 0) {
    MessageDlg(this, MsgKind::Warning, "Disc is not empty,please insert a blank disc or erase it first.");
    return;
  }
  if (ExecModal(od) != QDialog::Accepted || od->selectedFiles().isEmpty()) return;
  const QString file = od->selectedFiles().front();
  JobStarting(true);
  frmProgress->setWindowTitle("Burn CD/DVD");
  frmProgress->Label1->setText("Burning ...");
  frmProgress->NoCancel = false;
  frmProgress->pcd->setValue(0);
  frmProgress->show();
  frmProgress->repaint();
  Timer1->start();
  zcdb.Verify = GlobalVars().Verify;
  VerifyFailures.clear();
  // The bar's end is only known once the job has measured the file.
  frmProgress->pcd->setMaximum(static_cast<int>(std::max<std::int64_t>(1, QFileInfo(file).size() / 2048)));
  if (zcdb.BurnImageFile(file.toStdString()) || zcdb.Writing())
    frmProgress->pcd->setMaximum(static_cast<int>(std::max<std::int64_t>(1, zcdb.ImageSectors())));
}

void Tfrmmain::SaveAsISOFileClick() {
  if (zcdb.DirCount() == 0 && zcdb.FileCount() == 0) return;
  if (JobRunning()) return;
  if (ExecModal(sd) != QDialog::Accepted || sd->selectedFiles().isEmpty()) return;
  QString name = sd->selectedFiles().front();
  if (QFileInfo(name).suffix().toUpper() != "ISO") {
    name += ".iso";
    // The save dialog asked about the name as chosen, not about this one.
    if (QFileInfo::exists(name) && !AskToReplace(name)) return;
  }
  JobStarting(false);
  frmProgress->setWindowTitle("Save as ISO File");
  frmProgress->Label1->setText("Saving ...");
  frmProgress->NoCancel = false;
  frmProgress->pcd->setValue(0);
  frmProgress->show();
  frmProgress->repaint();
  Timer1->start();
  zcdb.BuildLayout(true, zcdb.RootDir());
  ShowNameChanges();
  frmProgress->pcd->setMaximum(static_cast<int>(std::max<std::int64_t>(1, zcdb.ImageSectors())));
  frmProgress->Label1->setText(SavingStatusText(zcdb.ImageSectors()));
  zcdb.SaveImageFile(name.toStdString(), false);
}

bool Tfrmmain::AskToReplace(const QString& file) {
  Message question;
  question.kind = MsgKind::Warning;
  question.text = QString("%1 already exists.\nDo you want to replace it?").arg(QFileInfo(file).fileName());
  question.buttons = QMessageBox::Yes | QMessageBox::No;
  question.defaultButton = QMessageBox::No;  // Enter must not replace a file
  return MessageDlg(this, question) == QMessageBox::Yes;
}

void Tfrmmain::ShowNameChanges() {
  const QString text = NameChangesStatusText(static_cast<int>(zcdb.Tree().EntriesRenamed()),
                                             static_cast<int>(zcdb.Tree().Skipped().size()));
  if (!text.isEmpty()) Label3->setText(text);
}

void Tfrmmain::zcdbWriteDone(const QString& error) {
  if (closing_) return;
  frmBurn->pcd->setValue(0);
  frmProgress->pcd->setValue(0);
  if (frmBurn->isVisible())
    frmBurn->done(QDialog::Accepted);
  else
    frmProgress->hide();
  Timer1->stop();
  Timer1Timer();
  const bool canceled = error.contains("ABORTED BY USER");
  const bool unverified = error.startsWith("VERIFICATION FAILED") && !VerifyFailures.isEmpty();
  const QString text = error.isEmpty() ? "Operation process done successfully."
                       : canceled      ? "Operation canceled by user"
                       : unverified    ? "The disc does not hold the written data as it should:"
                                       : "Operation done with error occured.";
  // A burn (and its verification) takes minutes: the person may be in
  // another window by its end.
  if (jobToDrive_) NotifyIfAway(text, !error.isEmpty() && !canceled);
  if (error.isEmpty() || canceled)
    MessageDlg(this, MsgKind::Information, text);
  else if (unverified)
    MessageDlg(this, JobFailure(text, VerifyFailureList(VerifyFailures)));
  else
    MessageDlg(this, JobFailure(text, error));
  // Saving an image does not touch the drive.
  if (error.isEmpty() && GlobalVars().Eject && jobToDrive_) zcdb.StartStopUnit(true);
}

void Tfrmmain::zcdbEraseDone(bool withError) {
  if (closing_) return;
  frmProgress->pcd->setRange(0, 100);
  frmProgress->pcd->setValue(0);
  Timer1->stop();
  Timer1Timer();
  frmProgress->hide();
  const QString text = withError ? "Erase process done with error." : "Erase process done successfully.";
  NotifyIfAway(text, withError);
  if (withError)
    MessageDlg(this, JobFailure(text, LastJobError()));
  else
    MessageDlg(this, MsgKind::Information, text);
}

void Tfrmmain::NotifyIfAway(const QString& text, bool failure) {
  if (!Hooks().active()) Hooks().notify(text, failure);
}

void Tfrmmain::SpeedButton4Click() {
  if (JobRunning()) return;
  TfrmSessions dialog(this);
  ExecModal(&dialog);
}

void Tfrmmain::SpeedButton3Click() {
  // Owned by the window, as the dialog is shown again and again.
  auto* dialog = new TfrmDevCap(this);
  dialog->setAttribute(Qt::WA_DeleteOnClose, false);
  dialog->Fill(zcdb.Capabilities, QString::fromStdString(zcdb.DeviceId), zcdb.DeviceMaxWriteSpeed(),
               zcdb.DeviceMaxReadSpeed());
  ExecModal(dialog);
}

}  // namespace velloran::app
