// The commands that write and read discs, end to end on the virtual
// recorder: Burn Now through the burn dialog, cancel, eject, the two image
// commands, erase, and the disc information dialog with its import.
#include "app_test_util.h"

#include "app/burn.h"
#include "app/import_session.h"
#include "app/progress.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QSettings>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QTreeWidget>

namespace velloran::app::testing {
namespace {

constexpr std::int64_t kMB = 1048576;

class CommandsTest : public MainWindowTest {
 protected:
  // A small compilation: a folder with two files and a file at the root.
  void FillCompilation() {
    WriteFile("Data/one.txt", 300000, 'a');
    WriteFile("Data/two.bin", 700000, 'b');
    WriteFile("top.txt", 5000, 'c');
    DropOnList({"Data", "top.txt"});
    ASSERT_GT(w().zcdb.FileCount(), 2);
  }

  // Burn Now with the dialog's options; `duringJob` runs right after Burn
  // was pressed. Returns once the dialog has closed.
  void BurnNow(const QString& label, bool closeDisc, bool eject,
               const std::function<void(TfrmBurn*)>& duringJob = {}) {
    onModal_ = [&](QDialog* d) {
      auto* burn = qobject_cast<TfrmBurn*>(d);
      EXPECT_NE(burn, nullptr);
      if (!burn) return static_cast<int>(QDialog::Rejected);
      burn->show();
      EXPECT_EQ(burn->windowTitle(), "Burn CD/DVD");
      EXPECT_TRUE(burn->btnBurn->isEnabled());
      EXPECT_EQ(burn->pcd->value(), 0);
      burn->eVolLabel->setText(label);
      burn->cCloseDisc->setChecked(closeDisc);
      burn->cEject->setChecked(eject);
      burn->btnBurn->click();
      if (duringJob) duringJob(burn);
      EXPECT_TRUE(WaitFor([&] { return !burn->isVisible(); })) << w().DebugLog().join("\n").toStdString();
      return burn->result();
    };
    w().btnBurnClick();
    EXPECT_FALSE(w().Timer1->isActive());
  }

  void WaitForProgressToClose() {
    EXPECT_TRUE(WaitFor([&] { return !w().frmProgress->isVisible(); }))
        << w().DebugLog().join("\n").toStdString();
  }
};

TEST_F(CommandsTest, BurnNowRecordsTheCompilationAndEjects) {
  Insert(vrec::MediumKind::CdR);
  Start();
  FillCompilation();
  BurnNow("MYDISC", false, true);
  EXPECT_EQ(MessageTexts(), QStringList{"Operation process done successfully."});
  EXPECT_EQ(messages_[0].kind, MsgKind::Information);
  EXPECT_EQ(w().zcdb.IdVolume, "MYDISC");
  EXPECT_TRUE(GlobalVars().Eject);
  const auto s = Status();
  EXPECT_EQ(s.completeSessions, 1);
  EXPECT_TRUE(s.trayOpen) << "ejected after the burn";
  EXPECT_EQ(w().frmBurn->pcd->value(), 0);

  // The disc holds the files: its image reads back with the reader.
  const fs::path image = dir_ / "disc.img";
  std::string why;
  ASSERT_TRUE(recorder_->Export(image, &why)) << why;
  QProcess isoinfo;
  isoinfo.start("isoinfo", {"-l", "-J", "-i", QString::fromStdString(image.string())});
  if (!isoinfo.waitForFinished(10000)) GTEST_SKIP() << "isoinfo is not installed";
  const QString listing = QString::fromUtf8(isoinfo.readAllStandardOutput());
  EXPECT_TRUE(listing.contains("one.txt")) << listing.toStdString();
  EXPECT_TRUE(listing.contains("top.txt")) << listing.toStdString();
}

TEST_F(CommandsTest, BurnDialogShowsTheComponentsOptionsAndEmptyLabelAtFirst) {
  Insert(vrec::MediumKind::CdR);
  Start();
  FillCompilation();
  w().zcdb.FinalizeDisc = true;
  w().zcdb.TestWrite = true;
  GlobalVars().Eject = false;
  onModal_ = [&](QDialog* d) {
    auto* burn = qobject_cast<TfrmBurn*>(d);
    burn->show();
    EXPECT_EQ(burn->eVolLabel->text(), "");
    EXPECT_EQ(burn->eVolLabel->maxLength(), 16);
    EXPECT_TRUE(burn->cCloseDisc->isChecked());
    EXPECT_TRUE(burn->cTestWrite->isChecked());
    EXPECT_FALSE(burn->cEject->isChecked());
    EXPECT_FALSE(burn->cBootable->isChecked());
    burn->btnCancel->click();  // no job yet: just closes
    EXPECT_FALSE(burn->isVisible());
    return burn->result();
  };
  w().btnBurnClick();
  EXPECT_EQ(modalCount_, 1);
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(Status().completeSessions, 0);
}

TEST_F(CommandsTest, VerifyWrittenDataShowsItsPhaseListsTheDamagedFileAndIsRemembered) {
  Insert(vrec::MediumKind::CdR);
  Start();
  FillCompilation();
  EXPECT_FALSE(GlobalVars().Verify) << "off until the user turns it on";
  // The recorder keeps a sector of one.txt damaged; commands take a while,
  // so the read-back can be watched.
  auto& zcdb = w().zcdb;
  zcdb.RequestNextWritableAddress = true;
  zcdb.BuildLayout(false, zcdb.RootDir());
  zcdb.RequestNextWritableAddress = false;
  const image::TDEntry* data = zcdb.FindDir("\\Data");
  const std::uint32_t lba = zcdb.Layout().FirstFile + static_cast<std::uint32_t>(zcdb.FindFile(data, "one.txt")->Extent);
  std::string why;
  ASSERT_TRUE(recorder_->SetCorrupt(lba + 5, &why)) << why;
  ASSERT_TRUE(recorder_->SetSlow(15, &why)) << why;
  bool sawVerifying = false;
  onModal_ = [&](QDialog* d) {
    auto* burn = qobject_cast<TfrmBurn*>(d);
    burn->show();
    EXPECT_EQ(burn->cVerify->text(), "Verify written data");
    EXPECT_FALSE(burn->cVerify->isChecked());
    burn->cVerify->setChecked(true);
    burn->cEject->setChecked(false);
    burn->btnBurn->click();
    EXPECT_FALSE(burn->cVerify->isEnabled());
    EXPECT_TRUE(WaitFor([&] {
      if (burn->isVisible()) w().Timer1Timer();
      if (burn->Label3->text() == "Verifying ..." && burn->btnCancel->isEnabled()) sawVerifying = true;
      return !burn->isVisible();
    }));
    return burn->result();
  };
  w().btnBurnClick();
  EXPECT_TRUE(sawVerifying);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].kind, MsgKind::Warning);
  EXPECT_EQ(messages_[0].text, "The disc does not hold the written data as it should:");
  const QStringList lines = messages_[0].reason.split('\n');
  ASSERT_EQ(lines.size(), 1) << messages_[0].reason.toStdString();
  EXPECT_TRUE(lines[0].endsWith(" | /Data/one.txt: CONTENT DIFFERS FROM WHAT WAS RECORDED")) << lines[0].toStdString();
  EXPECT_TRUE(GlobalVars().Verify);
  w().close();
  QSettings ini(SettingsFileName(), QSettings::IniFormat);
  EXPECT_TRUE(ini.value("Burning/Verify", false).toBool());
}

TEST_F(CommandsTest, RockRidgeIsOnUntilTurnedOffAndIsRemembered) {
  Insert(vrec::MediumKind::CdR);
  Start();
  FillCompilation();
  EXPECT_TRUE(w().zcdb.RockRidge) << "on until the user turns it off";
  onModal_ = [&](QDialog* d) {
    auto* burn = qobject_cast<TfrmBurn*>(d);
    burn->show();
    EXPECT_TRUE(burn->cRockRidge->isChecked());
    burn->cRockRidge->setChecked(false);
    burn->cEject->setChecked(false);
    burn->btnBurn->click();
    EXPECT_FALSE(burn->cRockRidge->isEnabled());
    EXPECT_TRUE(WaitFor([&] { return !burn->isVisible(); }));
    return burn->result();
  };
  w().btnBurnClick();
  EXPECT_EQ(MessageTexts(), QStringList{"Operation process done successfully."});
  EXPECT_FALSE(w().zcdb.Layout().RockRidge) << "the disc was laid out without it";
  w().close();
  QSettings ini(SettingsFileName(), QSettings::IniFormat);
  EXPECT_FALSE(ini.value("Burning/RockRidge", true).toBool());
}

TEST_F(CommandsTest, CancelDuringABurnEndsWithCanceledAndNoEject) {
  Insert(vrec::MediumKind::CdR);
  Start();
  WriteFile("big.bin", 6 * kMB, 'z');
  DropOnList({"big.bin"});
  std::string why;
  ASSERT_TRUE(recorder_->SetSlow(20, &why)) << why;  // 20 ms per command: time to cancel
  BurnNow("X", false, true, [&](TfrmBurn* burn) {
    EXPECT_EQ(burn->Label3->text(), "Burning ...");
    EXPECT_FALSE(burn->btnBurn->isEnabled());
    EXPECT_FALSE(burn->eVolLabel->isEnabled());
    EXPECT_TRUE(w().Timer1->isActive());
    EXPECT_TRUE(w().zcdb.Writing());
    // Cancel once writing is under way, as a person would see the bar move.
    EXPECT_TRUE(WaitFor([&] { return w().zcdb.BytesWritten() > 0; }));
    burn->btnCancel->click();
    EXPECT_EQ(burn->Label3->text(), "Cancelling ...");
    EXPECT_FALSE(burn->btnCancel->isEnabled());
    EXPECT_FALSE(w().Timer1->isActive());
  });
  EXPECT_EQ(MessageTexts(), QStringList{"Operation canceled by user"});
  EXPECT_FALSE(Status().trayOpen);
}

TEST_F(CommandsTest, ClosingTheWindowDuringABurnStopsTheJobAndReturns) {
  Insert(vrec::MediumKind::CdR);
  Start();
  WriteFile("big.bin", 6 * kMB, 'z');
  DropOnList({"big.bin"});
  std::string why;
  ASSERT_TRUE(recorder_->SetSlow(20, &why)) << why;
  // The dialog is left up with the job running.
  onModal_ = [&](QDialog* d) {
    auto* burn = qobject_cast<TfrmBurn*>(d);
    burn->show();
    burn->btnBurn->click();
    return static_cast<int>(QDialog::Accepted);
  };
  w().btnBurnClick();
  ASSERT_TRUE(w().zcdb.Writing());
  ASSERT_TRUE(WaitFor([&] { return w().zcdb.BytesWritten() > 0; }));
  QElapsedTimer timer;
  timer.start();
  w().close();
  window_.reset();
  EXPECT_LT(timer.elapsed(), 20000);
  EXPECT_TRUE(messages_.empty()) << "no message once the window is gone";
  EXPECT_EQ(Status().completeSessions, 0);
}

TEST_F(CommandsTest, SaveAsIsoWritesAnImageTheReadersAccept) {
  Insert(vrec::MediumKind::CdR);
  Start();
  // Empty compilation: nothing happens.
  w().SaveAsISOFileClick();
  EXPECT_EQ(modalCount_, 0);
  FillCompilation();
  GlobalVars().Eject = true;  // for burns: saving an image leaves the drive alone
  onModal_ = [&](QDialog* d) {
    EXPECT_EQ(d, w().sd);
    w().sd->setDirectory(QString::fromStdString(dir_.string()));
    w().sd->selectFile("backup");
    return static_cast<int>(QDialog::Accepted);
  };
  w().SaveAsISOFileClick();
  EXPECT_EQ(w().frmProgress->windowTitle(), "Save as ISO File");
  WaitForProgressToClose();
  EXPECT_EQ(MessageTexts(), QStringList{"Operation process done successfully."});
  EXPECT_FALSE(Status().trayOpen) << "saving an image ejected the disc";
  const fs::path image = dir_ / "backup.iso";
  ASSERT_TRUE(fs::exists(image));
  EXPECT_EQ(fs::file_size(image) % 2048, 0u);
  QProcess isoinfo;
  isoinfo.start("isoinfo", {"-l", "-i", QString::fromStdString(image.string())});
  if (!isoinfo.waitForFinished(10000)) GTEST_SKIP() << "isoinfo is not installed";
  EXPECT_EQ(isoinfo.exitCode(), 0);
  const QString listing = QString::fromUtf8(isoinfo.readAllStandardOutput());
  EXPECT_TRUE(listing.contains("Directory listing of /DATA/")) << listing.toStdString();
  EXPECT_TRUE(listing.contains("TOP.TXT")) << listing.toStdString();
  QProcess joliet;
  joliet.start("isoinfo", {"-J", "-f", "-i", QString::fromStdString(image.string())});
  ASSERT_TRUE(joliet.waitForFinished(10000));
  const QString files = QString::fromUtf8(joliet.readAllStandardOutput());
  EXPECT_TRUE(files.contains("/Data/two.bin")) << files.toStdString();
  // Nothing touched the disc.
  EXPECT_EQ(Status().completeSessions, 0);
}

TEST_F(CommandsTest, SaveAsIsoAsksBeforeReplacingTheFileItAddsIsoTo) {
  Insert(vrec::MediumKind::CdR);
  Start();
  FillCompilation();
  // The save dialog asks about backup.img; the image goes to backup.img.iso.
  const fs::path kept = dir_ / "backup.img.iso";
  std::ofstream(kept) << "the person's file";
  onModal_ = [&](QDialog*) {
    w().sd->selectFile(QString::fromStdString((dir_ / "backup.img").string()));
    return static_cast<int>(QDialog::Accepted);
  };
  for (const int answer : {static_cast<int>(QMessageBox::No), static_cast<int>(QMessageBox::Yes)}) {
    SCOPED_TRACE(answer == QMessageBox::Yes ? "Yes" : "No");
    messages_.clear();
    answer_ = answer;
    w().SaveAsISOFileClick();
    ASSERT_FALSE(messages_.empty());
    EXPECT_EQ(messages_[0].text, "backup.img.iso already exists.\nDo you want to replace it?");
    EXPECT_EQ(messages_[0].defaultButton, QMessageBox::No);
    if (answer == QMessageBox::No) {
      EXPECT_EQ(messages_.size(), 1u);
      EXPECT_FALSE(w().frmProgress->isVisible());
      EXPECT_FALSE(w().zcdb.Writing());
      EXPECT_EQ(fs::file_size(kept), 17u) << "replaced without a Yes";
    } else {
      WaitForProgressToClose();
      EXPECT_EQ(messages_.back().text, "Operation process done successfully.");
      EXPECT_EQ(fs::file_size(kept) % 2048, 0u);
      EXPECT_GT(fs::file_size(kept), 17u);
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "backup.img"));
}

TEST_F(CommandsTest, SaveAsIsoListsChangedNamesInTheLogAndCountsThemOnTheStatusLine) {
  Insert(vrec::MediumKind::CdR);
  Start();
  WriteFile("Names/readme.txt", 10, 'l');
  WriteFile("Names/ReadMe.txt", 10, 'm');
  WriteFile("Names/a:b.txt", 10, 'c');
  DropOnList({"Names"});
  onModal_ = [&](QDialog*) {
    w().sd->setDirectory(QString::fromStdString(dir_.string()));
    w().sd->selectFile("names");
    return static_cast<int>(QDialog::Accepted);
  };
  w().SaveAsISOFileClick();
  EXPECT_EQ(w().Label3->text(), "2 names changed for the disc (see the log)");
  WaitForProgressToClose();
  EXPECT_EQ(MessageTexts(), QStringList{"Operation process done successfully."});
  const QString log = w().DebugLog().join("\n");
  EXPECT_TRUE(log.contains(">>> Name changed for the disc: /Names/readme.txt -> readme~1.txt (Joliet: differs only "
                           "in case from another name in the folder)"))
      << log.toStdString();
  EXPECT_TRUE(log.contains(">>> Name changed for the disc: /Names/a:b.txt -> a_b.txt")) << log.toStdString();
}

TEST_F(CommandsTest, BurnFromIsoBurnsABlankDiscAndRefusesAWrittenOne) {
  Insert(vrec::MediumKind::DvdPlusR);
  Start();
  FillCompilation();
  GlobalVars().Eject = false;
  // An image to burn.
  onModal_ = [&](QDialog*) {
    w().sd->setDirectory(QString::fromStdString(dir_.string()));
    w().sd->selectFile("source.iso");
    return static_cast<int>(QDialog::Accepted);
  };
  w().SaveAsISOFileClick();
  WaitForProgressToClose();
  ASSERT_TRUE(fs::exists(dir_ / "source.iso"));
  messages_.clear();

  onModal_ = [&](QDialog* d) {
    EXPECT_EQ(d, w().od);
    w().od->setDirectory(QString::fromStdString(dir_.string()));
    w().od->selectFile(QString::fromStdString((dir_ / "source.iso").string()));
    return static_cast<int>(QDialog::Accepted);
  };
  w().BurnFromISOFileClick();
  EXPECT_EQ(w().frmProgress->windowTitle(), "Burn CD/DVD");
  WaitForProgressToClose();
  EXPECT_EQ(MessageTexts(), QStringList{"Operation process done successfully."});
  EXPECT_EQ(Status().tracks.size() >= 1, true);

  messages_.clear();
  const int dialogs = modalCount_;
  w().BurnFromISOFileClick();
  EXPECT_EQ(MessageTexts(), QStringList{"Disc is not empty,please insert a blank disc or erase it first."});
  EXPECT_EQ(modalCount_, dialogs) << "no file dialog for a written disc";
}

TEST_F(CommandsTest, JobsThatCannotStartEndWithTheErrorMessageAndNoDialogLeft) {
  Insert(vrec::MediumKind::CdR);
  Start();
  FillCompilation();
  GlobalVars().Eject = false;
  // An image file that vanished between the dialog and the job.
  onModal_ = [&](QDialog*) {
    w().od->selectFile(QString::fromStdString((dir_ / "gone.iso").string()));
    return static_cast<int>(QDialog::Accepted);
  };
  w().BurnFromISOFileClick();
  EXPECT_FALSE(w().frmProgress->isVisible());
  EXPECT_FALSE(w().Timer1->isActive());
  EXPECT_EQ(MessageTexts(), QStringList{"Operation done with error occured."});
  EXPECT_EQ(messages_.back().kind, MsgKind::Warning);

  // An image that cannot be created where it was asked for.
  messages_.clear();
  onModal_ = [&](QDialog*) {
    w().sd->selectFile(QString::fromStdString((dir_ / "no-such-folder" / "x.iso").string()));
    return static_cast<int>(QDialog::Accepted);
  };
  w().SaveAsISOFileClick();
  WaitForProgressToClose();
  EXPECT_EQ(MessageTexts(), QStringList{"Operation done with error occured."});
  EXPECT_FALSE(messages_.back().reason.isEmpty()) << "no reason given";
  EXPECT_FALSE(fs::exists(dir_ / "no-such-folder"));
  EXPECT_FALSE(w().zcdb.Writing());
}

TEST_F(CommandsTest, EjectAndItsFailure) {
  Insert(vrec::MediumKind::CdR);
  Start();
  w().btnEjectClick();
  EXPECT_TRUE(Status().trayOpen);
  EXPECT_TRUE(messages_.empty());
  // With the drive gone the command fails.
  transport_.recorder = nullptr;
  w().btnEjectClick();
  EXPECT_EQ(MessageTexts(), QStringList{"Eject Medium command failed."});
}

TEST_F(CommandsTest, ADriveAnotherProgramHoldsIsLeftAloneAndSaysWhy) {
  Insert(vrec::MediumKind::CdRw);
  Start();
  FillCompilation();
  // Another program (a burner) holds the medium lock.
  vrec::Recorder other(dir_ / "recorders", 0);
  const std::uint8_t prevent[6] = {0x1E, 0, 0, 0, 1, 0};
  ASSERT_TRUE(other.Execute(prevent, {}, vrec::DataDirection::None).Good());
  answer_ = QMessageBox::Yes;
  for (auto command : {&Tfrmmain::btnEjectClick, &Tfrmmain::btnBurnClick, &Tfrmmain::btnEraseClick,
                       &Tfrmmain::BurnFromISOFileClick}) {
    messages_.clear();
    (w().*command)();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].kind, MsgKind::Warning);
    EXPECT_TRUE(messages_[0].text.endsWith(" is locked by another program, which keeps its disc in the drive"))
        << messages_[0].text.toStdString();
  }
  EXPECT_EQ(modalCount_, 0);  // no burn dialog, no file dialog
  EXPECT_FALSE(w().frmProgress->isVisible());
  EXPECT_FALSE(Status().trayOpen);
  EXPECT_EQ(Status().discStatus, "blank");
  EXPECT_TRUE(other.Prevented());
  // Once that program lets go, the window's commands work again.
  other.ReleasePrevent();
  messages_.clear();
  w().btnEjectClick();
  EXPECT_TRUE(messages_.empty());
  EXPECT_TRUE(Status().trayOpen);
}

TEST_F(CommandsTest, EraseAsksAndReportsItsEnd) {
  Insert(vrec::MediumKind::CdRw);
  Start();
  FillCompilation();
  BurnNow("RW", false, false);
  ASSERT_EQ(Status().completeSessions, 1);
  messages_.clear();

  // No: nothing happens.
  answer_ = QMessageBox::No;
  w().btnEraseClick();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].kind, MsgKind::Warning);
  EXPECT_EQ(messages_[0].text, "All data on the CD will be lost,\nAre you sure you want to erase the Disc?");
  EXPECT_FALSE(w().frmProgress->isVisible());
  EXPECT_EQ(Status().completeSessions, 1);

  messages_.clear();
  answer_ = QMessageBox::Yes;
  // What the bar shows while the drive erases: the drive's own progress
  // figure (this drive gives one, after its first answers), moving through
  // the erase.
  QList<int> shown;
  bool indeterminate = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    const QProgressBar* bar = w().frmProgress->pcd;
    if (!w().frmProgress->isVisible() || !w().zcdb.Erasing()) return;
    if (bar->maximum() == 0) indeterminate = !shown.isEmpty();
    else if (shown.isEmpty() || shown.back() != bar->value()) shown << bar->value();
  });
  watch.start(50);
  w().btnEraseClick();
  EXPECT_EQ(w().frmProgress->windowTitle(), "Erase CD/DVD");
  EXPECT_FALSE(w().frmProgress->btnCancel->isEnabled()) << "an erase cannot be cancelled";
  WaitForProgressToClose();
  watch.stop();
  EXPECT_FALSE(indeterminate) << "the drive's figure came and went";
  std::string values;
  for (int v : shown) values += std::to_string(v) + " ";
  EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end())) << values;
  EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [](int v) { return v >= 10 && v < 100; }))
      << "the bar sat near the start until the end: " << values;
  EXPECT_EQ(messages_.back().text, "Erase process done successfully.");
  EXPECT_EQ(Status().discStatus, "blank");
}

// The desktop is told how a burn or an erase ended only while the person
// is in another program's window.
TEST_F(CommandsTest, TheEndOfALongJobIsNotifiedWhenTheWindowIsNotActive) {
  Insert(vrec::MediumKind::CdRw);
  Start();
  FillCompilation();
  BurnNow("FRONT", false, false);
  EXPECT_TRUE(notified_.empty()) << "the window was active";

  windowActive_ = false;
  answer_ = QMessageBox::No;  // a session of its own
  BurnNow("AWAY", false, false);
  const std::vector<std::pair<QString, bool>> burned{{"Operation process done successfully.", false}};
  EXPECT_EQ(notified_, burned);

  answer_ = QMessageBox::Yes;
  w().btnEraseClick();
  WaitForProgressToClose();
  ASSERT_EQ(notified_.size(), 2u);
  EXPECT_EQ(notified_[1], std::make_pair(QString("Erase process done successfully."), false));

  // A failed burn is told as one.
  notified_.clear();
  std::string why;
  ASSERT_TRUE(recorder_->SetWriteError(30, 0x03, 0x0C, 0x00, &why)) << why;
  BurnNow("FAILS", false, false);
  const std::vector<std::pair<QString, bool>> failed{{"Operation done with error occured.", true}};
  EXPECT_EQ(notified_, failed);
}

TEST_F(CommandsTest, EraseOnADriveWithoutAProgressFigureShowsThatWorkGoesOn) {
  Insert(vrec::MediumKind::CdRw);
  // The drive's sense never marks its sense-key specific bytes valid.
  transport_.tamperSense = [](const std::uint8_t*, std::span<std::uint8_t> sense) {
    if (sense.size() > 15) sense[15] &= 0x7F;
  };
  transport_.tamper = [](const std::uint8_t* cdb, std::span<std::uint8_t> data) {
    if (cdb[0] == 0x03 && data.size() > 15) data[15] &= 0x7F;
  };
  Start();
  answer_ = QMessageBox::Yes;
  bool indeterminate = false, determinate = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    const QProgressBar* bar = w().frmProgress->pcd;
    if (!w().frmProgress->isVisible() || !w().zcdb.Erasing() || !w().Timer1->isActive()) return;
    (bar->maximum() == 0 ? indeterminate : determinate) = true;
  });
  watch.start(50);
  w().btnEraseClick();
  WaitForProgressToClose();
  watch.stop();
  EXPECT_EQ(messages_.back().text, "Erase process done successfully.");
  EXPECT_TRUE(indeterminate);
  EXPECT_FALSE(determinate) << "an estimate was shown as progress";
  EXPECT_EQ(w().frmProgress->pcd->maximum(), 100) << "the next job's bar is left indeterminate";
}

TEST_F(CommandsTest, EraseRefusesWriteOnceDiscsButAsksForDvdRam) {
  const struct {
    vrec::MediumKind kind;
    const char* message;
  } rows[] = {
      {vrec::MediumKind::CdR, "Disc is not Erasable."},
      {vrec::MediumKind::DvdPlusR, "Disc is not Erasable."},
      {vrec::MediumKind::DvdRam, "All data on the CD will be lost,\nAre you sure you want to erase the Disc?"},
  };
  Start();
  answer_ = QMessageBox::No;
  for (const auto& row : rows) {
    Insert(row.kind);
    messages_.clear();
    w().btnEraseClick();
    EXPECT_EQ(MessageTexts(), QStringList{row.message}) << static_cast<int>(row.kind);
    EXPECT_FALSE(w().frmProgress->isVisible());
  }
}

TEST_F(CommandsTest, DiscInformationListsTheSessionsAndImportRebuildsTheLayout) {
  Insert(vrec::MediumKind::CdR);
  Start();
  FillCompilation();
  BurnNow("FIRST", false, false);
  WriteFile("later.txt", 2 * kMB, 'l');
  DropOnList({"later.txt"});
  answer_ = QMessageBox::No;  // a session of its own
  BurnNow("SECOND", false, false);
  answer_ = QMessageBox::Ok;
  ASSERT_EQ(Status().completeSessions, 2);
  messages_.clear();

  QStringList rows;
  QString medium, used, full, freeSpace;
  onModal_ = [&](QDialog* d) {
    auto* sessions = qobject_cast<TfrmSessions*>(d);
    EXPECT_NE(sessions, nullptr);
    if (!sessions) return static_cast<int>(QDialog::Rejected);
    sessions->show();  // fills the list
    EXPECT_EQ(sessions->windowTitle(), "Disc & Sessions Information");
    for (int i = 0; i < sessions->lb->topLevelItemCount(); ++i) {
      const QTreeWidgetItem* row = sessions->lb->topLevelItem(i);
      rows << row->text(0) + "|" + row->text(1) + "|" + row->text(2);
    }
    EXPECT_EQ(sessions->lb->currentItem(), sessions->lb->topLevelItem(sessions->lb->topLevelItemCount() - 1));
    medium = sessions->lMedium->text();
    used = sessions->lUsedSpace->text();
    full = sessions->lDiscSize->text();
    freeSpace = sessions->lfreespace->text();
    sessions->btnImportClick();
    return sessions->result();
  };
  w().SpeedButton4Click();
  ASSERT_EQ(rows.size(), 2) << rows.join("\n").toStdString();
  EXPECT_TRUE(rows[0].startsWith("Session01|0:02:00|")) << rows[0].toStdString();
  EXPECT_TRUE(rows[0].endsWith(" Mb")) << rows[0].toStdString();
  EXPECT_TRUE(rows[1].startsWith("Session02|")) << rows[1].toStdString();
  EXPECT_EQ(medium, "CD-R");
  EXPECT_EQ(full, "703 Mb");  // 359,849 blocks: 702.83 MB, rounded
  const std::int64_t usedMB = std::llround(w().zcdb.NextWritableAddress() * 2048.0 / kMB);
  EXPECT_EQ(used, QString::number(usedMB) + " Mb");
  EXPECT_FALSE(freeSpace.isEmpty());

  EXPECT_TRUE(messages_.empty()) << MessageTexts().join("; ").toStdString();
  // The layout now holds the last session's tree; the gauge shows the
  // disc's used space on a scale ending at its capacity rounded up.
  QTreeWidgetItem* top = w().TopNode();
  ASSERT_NE(top, nullptr);
  ASSERT_EQ(top->childCount(), 1);
  EXPECT_EQ(top->child(0)->text(0), "Data");
  EXPECT_NE(w().zcdb.FindFile(w().zcdb.RootDir(), "later.txt"), nullptr);
  EXPECT_NE(w().zcdb.FindFile(w().zcdb.RootDir(), "top.txt"), nullptr);
  EXPECT_EQ(w().fs->ValueMax(), 800);
  EXPECT_EQ(w().fs->Value(), RoundHalfEven(w().zcdb.NextWritableAddress() * 2048.0 / kMB));
  EXPECT_EQ(w().zcdb.Tree().MaxFiles(), 65535);

  // The imported files' data is on the disc: an image of them is refused,
  // and no file is left behind.
  onModal_ = [&](QDialog*) {
    w().sd->selectFile(QString::fromStdString((dir_ / "imported.iso").string()));
    return static_cast<int>(QDialog::Accepted);
  };
  w().SaveAsISOFileClick();
  WaitForProgressToClose();
  EXPECT_EQ(MessageTexts(), QStringList{"Operation done with error occured."});
  EXPECT_TRUE(messages_.back().reason.contains("CANNOT HOLD FILES IMPORTED FROM A DISC SESSION"))
      << messages_.back().reason.toStdString();
  EXPECT_FALSE(fs::exists(dir_ / "imported.iso"));
}

// Burn Now onto a disc that holds files asks whether the new session keeps
// them: readers show only the newest session.
class KeepFilesQuestion : public CommandsTest, public ::testing::WithParamInterface<QMessageBox::StandardButton> {};

TEST_P(KeepFilesQuestion, EachAnswerDoesWhatItSays) {
  const QMessageBox::StandardButton answer = GetParam();
  Insert(vrec::MediumKind::CdR);
  Start();
  FillCompilation();
  BurnNow("FIRST", false, false);
  EXPECT_EQ(MessageTexts(), QStringList{"Operation process done successfully."}) << "a blank disc: no question";
  w().NewCompilation();
  WriteFile("later.txt", 3000, 'l');
  DropOnList({"later.txt"});
  messages_.clear();
  answer_ = answer;
  BurnNow("SECOND", false, false);
  ASSERT_FALSE(messages_.empty());
  EXPECT_EQ(messages_[0].text, "The disc already holds files. Keep them in the new session?");
  EXPECT_EQ(messages_[0].kind, MsgKind::Confirmation);
  EXPECT_EQ(messages_[0].defaultButton, QMessageBox::Yes);
  EXPECT_EQ(messages_[0].buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
  const auto s = Status();
  if (answer == QMessageBox::Cancel) {
    EXPECT_EQ(modalCount_, 1) << "no burn dialog after Cancel";
    EXPECT_EQ(s.completeSessions, 1);
    EXPECT_EQ(w().zcdb.FileCount(), 1) << "the compilation is as it was";
    return;
  }
  ASSERT_EQ(s.completeSessions, 2) << MessageTexts().join("\n").toStdString();
  // Yes shows the disc's files in the layout (they are part of the session).
  EXPECT_EQ(w().zcdb.FindFile(w().zcdb.RootDir(), "top.txt") != nullptr, answer == QMessageBox::Yes);

  const fs::path image = dir_ / "disc.img";
  std::string why;
  ASSERT_TRUE(recorder_->Export(image, &why)) << why;
  std::uint32_t newest = 0;  // the second session's track (a blank one follows it)
  for (const auto& t : s.tracks)
    if (t.state == "complete") newest = t.start;
  ASSERT_GT(newest, 0u);
  QProcess isoinfo;
  isoinfo.start("isoinfo", {"-f", "-J", "-T", QString::number(newest), "-i", QString::fromStdString(image.string())});
  if (!isoinfo.waitForFinished(10000)) GTEST_SKIP() << "isoinfo is not installed";
  QStringList listing;
  for (QString path : QString::fromUtf8(isoinfo.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts))
    listing << path.remove(QRegularExpression(";1$"));  // file names carry their version
  listing.sort();
  const QStringList kept{"/Data", "/Data/one.txt", "/Data/two.bin", "/later.txt", "/top.txt"};
  EXPECT_EQ(listing, answer == QMessageBox::Yes ? kept : QStringList{"/later.txt"}) << listing.join(" ").toStdString();
}

INSTANTIATE_TEST_SUITE_P(Answers, KeepFilesQuestion,
                         ::testing::Values(QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel),
                         [](const auto& info) {
                           return info.param == QMessageBox::Yes  ? std::string("Yes")
                                  : info.param == QMessageBox::No ? std::string("No")
                                                                  : std::string("Cancel");
                         });

TEST_F(CommandsTest, DiscInformationWithoutADiscSaysSoAndImportNeedsARow) {
  ASSERT_TRUE(recorder_->Eject());
  Start();
  onModal_ = [&](QDialog* d) {
    auto* sessions = qobject_cast<TfrmSessions*>(d);
    sessions->show();
    EXPECT_EQ(sessions->lb->topLevelItemCount(), 0);
    EXPECT_EQ(sessions->lMedium->text(), "");
    sessions->btnImportClick();
    EXPECT_FALSE(sessions->result() == QDialog::Accepted);
    return sessions->result();
  };
  w().SpeedButton4Click();
  EXPECT_EQ(MessageTexts(), (QStringList{"Error getting session information", "Please select session from list"}));
}

}  // namespace
}  // namespace velloran::app::testing
