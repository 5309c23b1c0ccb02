// A drive the window cannot have: another program holds it, the kernel
// refuses it, or the user may not open it. The window says which, names who
// holds it, and sends nothing that could disturb the other program. The
// virtual recorder is presented as /dev/sr0 behind the pass-through layer,
// with its open errors injected.
#include "app_test_util.h"
#include "other_process_lock.h"

#include "platform/scsi_system.h"
#include "vrec/virtual_scsi_system.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

namespace velloran::app::testing {
namespace {

class BusyDriveTest : public MainWindowTest {
 public:
  BusyDriveTest() { withRecorder_ = withTransport_ = false; }

 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure()) return;
    vrec::VirtualScsiOptions options;
    options.stateDir = dir_ / "recorders";
    options.recorders = 1;
    system_ = std::make_unique<vrec::VirtualScsiSystem>(options);
    platform::InstallScsiSystem(system_.get());
    drive::ReleaseTransport();
  }
  void TearDown() override {
    other_.Kill();
    window_.reset();
    drive::ReleaseTransport();
    platform::InstallScsiSystem(nullptr);
    system_.reset();
    MainWindowTest::TearDown();
  }

  void InsertDisc(vrec::MediumKind kind) {
    std::string why;
    ASSERT_TRUE(system_->recorder(0).Insert(kind, {}, &why)) << why;
  }

  void HoldFromAnotherProcess() { other_.Start(dir_ / "recorders"); }
  void LetGo() { other_.Release(); }

  std::unique_ptr<vrec::VirtualScsiSystem> system_;
  velloran::testing::OtherProcessLock other_;
};

TEST_F(BusyDriveTest, BurnEraseAndEjectNameTheProgramThatHoldsTheDrive) {
  InsertDisc(vrec::MediumKind::CdRw);
  Start();
  ASSERT_EQ(w().cbDrives->count(), 1) << w().DebugLog().join("\n").toStdString();
  WriteFile("a.txt", 5000, 'a');
  DropOnList({"a.txt"});
  HoldFromAnotherProcess();
  const QString held = QString("D: is in use by process %1 (%2)")
                           .arg(other_.Pid())
                           .arg(QString::fromStdString(other_.CommandName()));
  messages_.clear();
  w().btnBurnClick();
  w().btnEraseClick();
  w().btnEjectClick();
  ASSERT_EQ(MessageTexts(), QStringList({held, held, held}));
  for (const auto& m : messages_) EXPECT_EQ(m.kind, MsgKind::Warning);
  EXPECT_EQ(modalCount_, 0) << "no burn dialog over a drive another program holds";
  EXPECT_EQ(system_->CommandsSeen(0x2A), 0u) << "nothing written";
  EXPECT_EQ(system_->CommandsSeen(0xA1), 0u) << "nothing erased";
  EXPECT_EQ(system_->CommandsSeen(0x1B), 0u) << "not ejected";
  EXPECT_TRUE(system_->recorder(0).Prevented()) << "the other program's lock stays";

  // Once that program has ended, Burn Now goes on to its dialog.
  LetGo();
  messages_.clear();
  w().btnBurnClick();
  EXPECT_EQ(MessageTexts(), QStringList{});
  EXPECT_EQ(modalCount_, 1);
}

TEST_F(BusyDriveTest, ADriveTheKernelRefusesIsSaidToBeHeldExclusively) {
  InsertDisc(vrec::MediumKind::CdR);
  Start();
  ASSERT_EQ(w().cbDrives->count(), 1) << w().DebugLog().join("\n").toStdString();
  WriteFile("a.txt", 5000, 'a');
  DropOnList({"a.txt"});
  // A burner that claimed the drive exclusively since the window started:
  // every open of the node is refused with EBUSY.
  w().zcdb.StartStopUnit(false);
  system_->SetOpenError("/dev/sr0", EBUSY);
  messages_.clear();
  w().btnBurnClick();
  EXPECT_EQ(MessageTexts(), QStringList{"D: is in use by another program, which holds it exclusively"});
  EXPECT_EQ(modalCount_, 0);
  system_->SetOpenError("/dev/sr0", 0);
  messages_.clear();
  w().btnBurnClick();
  EXPECT_EQ(MessageTexts(), QStringList{});
  EXPECT_EQ(modalCount_, 1);
}

TEST_F(BusyDriveTest, AUserWhoMayNotOpenTheDriveIsToldWhy) {
  InsertDisc(vrec::MediumKind::CdR);
  system_->SetOpenError("/dev/sr0", EACCES);
  Start();
  EXPECT_EQ(w().cbDrives->count(), 0);
  ASSERT_EQ(messages_.size(), 1u) << MessageTexts().join("\n").toStdString();
  EXPECT_EQ(messages_[0].text, QString("Error initializing ASPI Layer, Please visit support page, ") + kFaqPageUrl +
                                   " for more information.");
  EXPECT_TRUE(messages_[0].reason.contains("CANNOT OPEN /dev/sr0: PERMISSION DENIED")) << messages_[0].reason.toStdString();
}

}  // namespace
}  // namespace velloran::app::testing
