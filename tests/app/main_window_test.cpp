// The main window: start-up on a drive and without one, the drive and speed
// lists, the view switch, the settings file, the capabilities dialog.
#include "app_test_util.h"

#include "app/device_caps.h"
#include "drive/mmc_reply.h"

#include <QCheckBox>
#include <QDragEnterEvent>
#include <QMenu>
#include <QMimeData>
#include <QStatusTipEvent>
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QSettings>
#include <QSplitter>
#include <QToolButton>
#include <QTreeWidget>

namespace velloran::app::testing {
namespace {

QStringList Entries(const QComboBox* box) {
  QStringList list;
  for (int i = 0; i < box->count(); ++i) list << box->itemText(i);
  return list;
}

TEST_F(MainWindowTest, StartsOnTheRecorderWithDriveSpeedsAndAnEmptyLayout) {
  Insert(vrec::MediumKind::CdR);
  Start();
  EXPECT_EQ(w().windowTitle(), "Velloran DVD/CD Burner 3.38");
  ASSERT_EQ(w().cbDrives->count(), 1);
  EXPECT_TRUE(w().cbDrives->itemText(0).startsWith("0:0:0,D: ")) << w().cbDrives->itemText(0).toStdString();
  EXPECT_EQ(w().cbDrives->toolTip(), w().cbDrives->currentText());
  EXPECT_EQ(w().lDrive->text(), "Drive D:");
  EXPECT_EQ(QString::fromStdString(w().zcdb.DeviceId), w().cbDrives->currentText());

  // The layout: one top node for the root, an empty list, the gauge at 0 of 800.
  ASSERT_EQ(w().tvdir->topLevelItemCount(), 1);
  EXPECT_EQ(w().TopNode()->text(0), "CDRoot");
  EXPECT_EQ(w().NodeDir(w().TopNode()), w().zcdb.RootDir());
  EXPECT_EQ(w().tvdir->currentItem(), w().TopNode());
  EXPECT_EQ(w().ListView1->topLevelItemCount(), 0);
  EXPECT_EQ(w().fs->Value(), 0);
  EXPECT_EQ(w().fs->ValueMax(), 800);
  EXPECT_TRUE(w().zcdb.LastFolderOnly());
  EXPECT_TRUE(w().zcdb.PerformOPC);
  EXPECT_EQ(w().zcdb.CacheSize(), 4194304);
  EXPECT_TRUE(messages_.empty()) << MessageTexts().join("; ").toStdString();
}

TEST_F(MainWindowTest, CdSpeedListProbesDownwardsInCdStepsAndListsEachReadBackOnce) {
  Insert(vrec::MediumKind::CdR);
  Start();
  const QStringList entries = Entries(w().cbSpeed);
  ASSERT_GE(entries.size(), 3) << entries.join("|").toStdString();
  EXPECT_EQ(entries.front(), "Max");
  EXPECT_EQ(w().cbSpeed->currentIndex(), 0);
  // Each entry once, in falling order, in the CD form "24X (4,234 KB/s)".
  EXPECT_EQ(entries.size(), QSet<QString>(entries.begin(), entries.end()).size());
  const int max = w().zcdb.MaxWriteSpeed();
  EXPECT_EQ(entries[1], SpeedEntryText(2, max));
  EXPECT_TRUE(entries.contains("24X (4,234 KB/s)")) << entries.join("|").toStdString();
  int previous = 1 << 30;
  for (int i = 1; i < entries.size(); ++i) {
    EXPECT_TRUE(QRegularExpression("^\\d+X \\([\\d,]+ KB/s\\)$").match(entries[i]).hasMatch()) << entries[i].toStdString();
    const int kbps = entries[i].section('(', 1).section(' ', 0, 0).remove(',').toInt();
    EXPECT_LT(kbps, previous);
    previous = kbps;
  }
  // The probe: from the drive's maximum down in steps of 176 KB/s to the
  // last positive value (a drive at 7056 is asked for 7056, 6880, 6704, ...).
  const auto probed = [](int max, int step) {
    std::vector<int> speeds;
    for (int s = max; s > 0; s -= step) speeds.push_back(s);
    return speeds;
  };
  transport_.ClearLog();
  w().cbSpeedDropDown();
  EXPECT_EQ(SpeedsSet(transport_), probed(max, 176));
  EXPECT_EQ(probed(7056, 176)[2], 6704);
  EXPECT_EQ(w().zcdb.WriteSpeed(), probed(max, 176).back()) << "the probe leaves the last speed tried";
  // A choice rebuilds the list and keeps the index.
  w().cbSpeed->setCurrentIndex(2);
  w().cbSpeedDropDown();
  EXPECT_EQ(w().cbSpeed->currentIndex(), 2);
  EXPECT_EQ(Entries(w().cbSpeed), entries);
}

TEST_F(MainWindowTest, DvdSpeedListUsesDvdFactors) {
  Insert(vrec::MediumKind::DvdPlusR);
  Start();
  const QStringList entries = Entries(w().cbSpeed);
  ASSERT_GE(entries.size(), 2);
  EXPECT_TRUE(entries.contains("4.0X (5,540 KB/s)")) << entries.join("|").toStdString();
  // DVD steps are 700 KB/s.
  transport_.ClearLog();
  w().cbSpeedDropDown();
  const std::vector<int> speeds = SpeedsSet(transport_);
  ASSERT_GE(speeds.size(), 2u);
  EXPECT_EQ(speeds[0], w().zcdb.MaxWriteSpeed());
  for (std::size_t i = 1; i < speeds.size(); ++i) EXPECT_EQ(speeds[i - 1] - speeds[i], 700);
  EXPECT_LE(speeds.back(), 700);
  for (int i = 1; i < entries.size(); ++i)
    EXPECT_TRUE(QRegularExpression("^\\d+\\.\\dX \\([\\d,]+ KB/s\\)$").match(entries[i]).hasMatch())
        << entries[i].toStdString();
  // An index beyond a shorter rebuilt list falls back to "Max".
  w().cbSpeed->addItem("extra");
  w().cbSpeed->setCurrentIndex(w().cbSpeed->count() - 1);
  w().cbSpeedDropDown();
  EXPECT_EQ(w().cbSpeed->currentIndex(), 0);
}

class NoDriveTest : public MainWindowTest {
 public:
  NoDriveTest() { withRecorder_ = false; }
};

TEST_F(NoDriveTest, EmptyDriveListAndMaxAlone) {
  Start();
  EXPECT_EQ(w().cbDrives->count(), 0);
  EXPECT_EQ(Entries(w().cbSpeed), QStringList{"Max"});
  EXPECT_EQ(w().lDrive->text(), " Drive :");
  EXPECT_TRUE(messages_.empty());
  // Burn Now on an empty compilation does nothing at all; with a file it
  // finds no disc.
  w().btnBurnClick();
  EXPECT_TRUE(messages_.empty());
  WriteFile("a.txt", 10);
  DropOnList({"a.txt"});
  w().btnBurnClick();
  EXPECT_EQ(MessageTexts(), QStringList{"Please insert a writable disc in drive."});
  EXPECT_EQ(modalCount_, 0);

  // The capabilities dialog: nothing checked, both speeds 0.
  TfrmDevCap* shown = nullptr;
  onModal_ = [&](QDialog* d) {
    shown = qobject_cast<TfrmDevCap*>(d);
    return static_cast<int>(QDialog::Rejected);
  };
  w().SpeedButton3Click();
  ASSERT_NE(shown, nullptr);
  for (const auto& box : TfrmDevCap::kBoxes) EXPECT_FALSE((shown->*box.box)->isChecked());
  EXPECT_EQ(shown->Label2->text(), "Max Write Speed   :  0 KB/s");
  EXPECT_EQ(shown->Label3->text(), "Max Read Speed    :  0 KB/s");
}

class NoTransportTest : public MainWindowTest {
 public:
  NoTransportTest() { withRecorder_ = withTransport_ = false; }
};

TEST_F(NoTransportTest, SaysSoAndLeavesTheWindowUninitialised) {
  if (fs::exists("/dev/sr0")) GTEST_SKIP() << "a real drive answers the pass-through layer here";
  Start();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].kind, MsgKind::Plain);
  EXPECT_EQ(messages_[0].text, QString("Error initializing ASPI Layer, Please visit support page, ") + kFaqPageUrl +
                                   " for more information.");
  EXPECT_EQ(w().cbDrives->count(), 0);
  EXPECT_EQ(w().cbSpeed->count(), 0);
  EXPECT_EQ(w().tvdir->topLevelItemCount(), 0);
  // Nothing was read, so closing writes the initial flags.
  w().close();
  QSettings ini(SettingsFileName(), QSettings::IniFormat);
  EXPECT_FALSE(ini.value("Form/View", true).toBool());
  EXPECT_FALSE(ini.value("Burning/Eject", true).toBool());
}

TEST_F(MainWindowTest, CapabilitiesDialogShowsTheDrivesBitsAndSpeeds) {
  Insert(vrec::MediumKind::DvdPlusRw);
  Start();
  TfrmDevCap* shown = nullptr;
  onModal_ = [&](QDialog* d) {
    shown = qobject_cast<TfrmDevCap*>(d);
    return static_cast<int>(QDialog::Rejected);
  };
  w().SpeedButton3Click();
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->windowTitle(), "Device Capabilities");
  EXPECT_EQ(shown->Label1->text(), "  " + QString::fromStdString(w().zcdb.DeviceId));
  EXPECT_EQ(shown->Label2->text(), "Max Write Speed   :  " + QString::number(w().zcdb.DeviceMaxWriteSpeed()) + " KB/s");
  EXPECT_EQ(shown->Label3->text(), "Max Read Speed    :  " + QString::number(w().zcdb.DeviceMaxReadSpeed()) + " KB/s");
  EXPECT_GT(w().zcdb.DeviceMaxWriteSpeed(), 0);
  int checked = 0;
  for (const auto& box : TfrmDevCap::kBoxes) {
    QCheckBox* cb = shown->*box.box;
    EXPECT_EQ(cb->isChecked(), (w().zcdb.Capabilities & box.bit) != 0) << cb->objectName().toStdString();
    EXPECT_FALSE(cb->isEnabled()) << "the user cannot change " << cb->objectName().toStdString();
    checked += cb->isChecked();
  }
  EXPECT_GT(checked, 4);
  EXPECT_TRUE(shown->WriteDVDPRW->isChecked());
  EXPECT_EQ(shown->ReadCDR->text(), "Read CDR");
  EXPECT_EQ(shown->WriteDVDPR->text(), "Write DVD+R");
  EXPECT_EQ(shown->UnderrunProtection->text(), "Underrun Protection");
  EXPECT_TRUE(shown->UnderrunProtection->font().bold());
}

TEST_F(MainWindowTest, ViewSwitchPutsTheShellOnTopAndBackExactly) {
  Insert(vrec::MediumKind::CdR);
  Start();
  w().resize(1000, 600);
  w().ApplyPaneLayout();
  const auto arrangement = [this] {
    return std::make_tuple(w().Splitter1->orientation(), w().Splitter1->indexOf(w().Panel1),
                           w().Splitter1->sizes(), w().Splitter2->sizes(), w().Splitter3->sizes(),
                           w().btnview->icon().pixmap(20, 16).toImage());
  };
  const auto first = arrangement();
  EXPECT_EQ(w().Splitter1->orientation(), Qt::Horizontal);
  EXPECT_EQ(w().Splitter1->indexOf(w().Panel1), 0);
  // Half the window's outer width.
  EXPECT_EQ(w().Splitter1->sizes()[0], RoundHalfEven(w().frameGeometry().width() / 2.0));
  w().btnviewClick();
  EXPECT_TRUE(w().View);
  EXPECT_EQ(w().Splitter1->orientation(), Qt::Vertical);
  EXPECT_EQ(w().Splitter1->indexOf(w().Panel2), 0);
  EXPECT_EQ(w().Splitter1->sizes()[0],
            RoundHalfEven((w().frameGeometry().height() - w().CoolBar1->sizeHint().height() -
                           w().Panel10->sizeHint().height()) * 2.0 / 5.0));
  w().btnviewClick();
  EXPECT_FALSE(w().View);
  EXPECT_EQ(arrangement(), first);
}

TEST_F(MainWindowTest, SettingsAreWrittenAtCloseAndReadAtStart) {
  Insert(vrec::MediumKind::CdR);
  Start();
  EXPECT_TRUE(GlobalVars().Eject) << "no settings file: eject defaults to on";
  EXPECT_FALSE(GlobalVars().Verify) << "no settings file: verification defaults to off";
  EXPECT_FALSE(w().View);
  const QString shellDir = Src();
  w().ShellTreeView1->SetPath(shellDir);
  w().btnviewClick();
  GlobalVars().Eject = false;
  GlobalVars().Verify = true;
  w().close();
  const QString file = SettingsFileName();
  EXPECT_TRUE(file.endsWith("/config/velloran_app_tests.ini")) << file.toStdString();
  {
    QSettings ini(file, QSettings::IniFormat);
    EXPECT_TRUE(ini.value("Form/View").toBool());
    EXPECT_FALSE(ini.value("Burning/Eject").toBool());
    EXPECT_TRUE(ini.value("Burning/Verify").toBool());
    EXPECT_EQ(ini.value("Shell/LastOpenDir").toString(), shellDir);
    EXPECT_EQ(ini.value("Form/Width").toInt(), w().frameGeometry().width());
    EXPECT_FALSE(ini.value("Form/Maximized").toBool());
  }
  // A new window reads them back.
  window_.reset();
  GlobalVars() = TGlobalVars{};
  Start();
  EXPECT_TRUE(w().View);
  EXPECT_EQ(w().Splitter1->orientation(), Qt::Vertical);
  EXPECT_FALSE(GlobalVars().Eject);
  EXPECT_TRUE(GlobalVars().Verify);
  EXPECT_EQ(GlobalVars().LastOpenDir, shellDir);
  EXPECT_EQ(w().ShellTreeView1->Path(), shellDir);
  EXPECT_EQ(w().ShellListView1->Path(), shellDir);

  // A desktop folder is not remembered.
  fs::create_directories(dir_ / "src" / "Desktop");
  w().ShellTreeView1->SetPath(Src() + "/Desktop");
  w().close();
  QSettings ini(file, QSettings::IniFormat);
  EXPECT_EQ(ini.value("Shell/LastOpenDir", "unset").toString(), "");
}

TEST_F(MainWindowTest, ControlsCarryTheirNamesCaptionsAndHints) {
  Insert(vrec::MediumKind::CdR);
  Start();
  const struct {
    const char* name;
    const char* caption;
    const char* hint;
  } controls[] = {
      {"btnEject", "Eject", "Eject Medium"},
      {"btnErase", "Erase", "Erase Medium"},
      {"btnISO", "ISO Image", "Build or Burn ISO files"},
      {"btnBurn", "Burn Now", "Burn Now"},
      {"btnHelp", "Help", "Help"},
      {"SpeedButton18", "Exit", "Quit"},
      {"btnNew", "", "Clear all items in CD/DVD layout"},
      {"SpeedButton4", "Disc Information", "Import previous session"},
      {"btnnewfolder", "", "Create a new directory "},
      {"btnDelete", "", "Delete selected item"},
      {"SpeedButton3", "", "Display Drive Capabilities"},
  };
  for (const auto& c : controls) {
    auto* button = w().findChild<QToolButton*>(c.name);
    ASSERT_NE(button, nullptr) << c.name;
    EXPECT_EQ(button->text(), c.caption) << c.name;
    EXPECT_EQ(button->toolTip(), c.hint) << c.name;
  }
  EXPECT_TRUE(w().btnBurn->font().bold());
  for (const char* name : {"CoolBar1", "Panel12", "btnview", "Image1", "Image2", "PopupMenu1", "PopupMenu2",
                           "PopupMenu3", "Panel1", "tvdir", "ListView1", "fs", "Panel2", "ShellComboBox1",
                           "SpeedButton1", "SpeedButton2", "ShellTreeView1", "ShellListView1", "Panel10", "lDrive",
                           "cbDrives", "cbSpeed", "Label3", "Timer1", "od", "sd", "frmProgress", "frmBurn"})
    EXPECT_NE(w().findChild<QObject*>(name), nullptr) << name;
  const QStringList columns = {"Name", "Size", "Type", "Date Modified"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(w().ListView1->headerItem()->text(i), columns[i]);
  EXPECT_EQ(w().ListView1->selectionMode(), QAbstractItemView::ExtendedSelection);
  // Menus.
  EXPECT_EQ(w().BurnFromISOFile1->text(), "Burn From ISO File");
  EXPECT_EQ(w().SaveasaISOFile1->text(), "Save as a ISO File");
  EXPECT_TRUE(w().Details1->isChecked());
  w().Icons1->trigger();
  EXPECT_EQ(w().ShellListView1->Style(), TShellListView::ViewStyle::Icon);
  EXPECT_FALSE(w().Details1->isChecked());

  // The hint line shows the hint of what the mouse is over.
  QStatusTipEvent tip(w().tvdir->statusTip());
  QApplication::sendEvent(w().tvdir, &tip);
  EXPECT_EQ(w().Label3->text(), "Drag & Drop folders or files here");
}

TEST_F(MainWindowTest, DropsFromOtherProgramsAreRefused) {
  Insert(vrec::MediumKind::CdR);
  Start();
  WriteFile("a.txt", 10);
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(Src() + "/a.txt")});
  for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(w().ListView1), static_cast<QAbstractItemView*>(w().tvdir)}) {
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &enter);
    EXPECT_FALSE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &drop);
  }
  EXPECT_EQ(w().zcdb.FileCount(), 0);
}

TEST_F(MainWindowTest, WindowTitlesReadAsTheWindowsSetThem) {
  // The desktop appends the application's display name, when one is set, to
  // every title that does not already end with it ("Burn CD/DVD — ...").
  const QString name = QCoreApplication::applicationName();
  SetUpApplication();
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName())
      << "a display name is set: " << QGuiApplication::applicationDisplayName().toStdString();
  QCoreApplication::setApplicationName(name);
}

TEST_F(MainWindowTest, HelpMenuOpensTheProjectsPages) {
  Insert(vrec::MediumKind::CdR);
  Start();
  w().Homepage1->trigger();
  w().FrequentlyAskedQuestions1->trigger();
  ASSERT_EQ(opened_.size(), 2u);
  EXPECT_EQ(opened_[0], QUrl(kHomePageUrl));
  EXPECT_EQ(opened_[1], QUrl(kFaqPageUrl));
}

}  // namespace
}  // namespace velloran::app::testing
