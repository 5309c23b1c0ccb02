// A drive that another program holds: the eject that leaves its lock alone,
// and the messages that name who holds it, over the pass-through layer with
// the virtual recorder presented as /dev/sr0 (its open errors injected).
#include "drive/zbASPI.h"
#include "drive/zbDrvLib.h"
#include "drive/zbSPTI.h"
#include "other_process_lock.h"
#include "platform/scsi_system.h"
#include "vrec/virtual_scsi_system.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace velloran::drive {
namespace {

class DriveUseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velloran-use-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    vrec::VirtualScsiOptions options;
    options.stateDir = dir_;
    options.recorders = 1;
    system_ = std::make_unique<vrec::VirtualScsiSystem>(options);
    platform::InstallScsiSystem(system_.get());
    ReleaseTransport();
  }
  void TearDown() override {
    other_.Kill();
    device_.reset();
    ReleaseTransport();
    platform::InstallScsiSystem(nullptr);
    system_.reset();
    CloseHandleAfterCommand = true;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  TSCSIDevice& Select() {
    device_ = std::make_unique<TSCSIDevice>();
    device_->OnDebugMessage = [this](TObject*, const std::string& text, std::uint8_t) { notes_.push_back(text); };
    // Fails when no drive can be opened: there is no library beside the tests.
    device_->InitializeASPI(true, "");
    if (!device_->Devices.empty()) device_->SetDevice(device_->Devices[0]);
    return *device_;
  }

  void LockFromAnotherProcess() { other_.Start(dir_); }
  void EndOtherProcess() { other_.Release(); }

  std::filesystem::path dir_;
  std::unique_ptr<vrec::VirtualScsiSystem> system_;
  std::unique_ptr<TSCSIDevice> device_;
  std::vector<std::string> notes_;
  velloran::testing::OtherProcessLock other_;
};

TEST_F(DriveUseTest, EjectLeavesAnotherProgramsLockAloneAndNamesIt) {
  TSCSIDevice& d = Select();
  ASSERT_FALSE(d.DeviceId.empty());
  EXPECT_EQ(d.DriveName(), "D:");
  EXPECT_EQ(d.HeldElsewhere(), "");
  LockFromAnotherProcess();
  const std::uint64_t allowsBefore = system_->CommandsSeen(0x1E);
  std::string refusal;
  EXPECT_FALSE(d.EjectMedium(refusal));
  EXPECT_EQ(refusal, "D: is in use by process " + std::to_string(other_.Pid()) + " (" + other_.CommandName() + ")");
  // Nothing was sent that could lift the other program's lock.
  EXPECT_EQ(system_->CommandsSeen(0x1E), allowsBefore);
  EXPECT_EQ(system_->CommandsSeen(0x1B), 0u);
  EXPECT_TRUE(system_->recorder(0).Prevented());
  EXPECT_FALSE(system_->recorder(0).Status()->trayOpen);
  // When that program ends, its lock ends with it and the eject goes ahead.
  EndOtherProcess();
  EXPECT_TRUE(d.EjectMedium(refusal)) << refusal << d.LastError;
  EXPECT_EQ(refusal, "");
  EXPECT_TRUE(system_->recorder(0).Status()->trayOpen);
}

TEST_F(DriveUseTest, LockWithoutAVisibleHolderIsRefusedButOurOwnIsNot) {
  TSCSIDevice& d = Select();
  // A lock set through another handle in this process stands for a program
  // this user cannot see (another user's): only the drive tells of it.
  vrec::Recorder hidden(dir_, 0);
  const std::uint8_t prevent[6] = {0x1E, 0, 0, 0, 1, 0};
  ASSERT_TRUE(hidden.Execute(prevent, {}, vrec::DataDirection::None).Good());
  EXPECT_TRUE(d.MediumLocked());
  std::string refusal;
  EXPECT_FALSE(d.EjectMedium(refusal));
  EXPECT_EQ(refusal, "D: is locked by another program, which keeps its disc in the drive");
  hidden.ReleasePrevent();
  EXPECT_FALSE(d.MediumLocked());
  // This program's own lock (a job of its own has ended without lifting
  // it) does not stand in its way.
  ASSERT_TRUE(d.PreventAllowRemoval(false));
  EXPECT_TRUE(d.RemovalPrevented());
  EXPECT_EQ(d.HeldElsewhere(), "");
  EXPECT_TRUE(d.EjectMedium(refusal)) << d.LastError;
  EXPECT_FALSE(d.RemovalPrevented());
}

TEST_F(DriveUseTest, RefusedOpensAreExplainedNotHidden) {
  // Busy when the drives are looked for: the drive cannot be listed, and the
  // note says why.
  system_->SetOpenError("/dev/sr0", EBUSY);
  Select();
  EXPECT_TRUE(device_->Devices.empty());
  ASSERT_EQ(notes_.size(), 1u);
  EXPECT_EQ(notes_[0], "D: is in use by another program, which holds it exclusively (/dev/sr0)");
  // No permission.
  system_->SetOpenError("/dev/sr0", EACCES);
  notes_.clear();
  ReleaseTransport();
  Select();
  ASSERT_EQ(notes_.size(), 1u);
  EXPECT_NE(notes_[0].find("CANNOT OPEN /dev/sr0: PERMISSION DENIED"), std::string::npos) << notes_[0];
  // Busy after it was chosen: the commands fail, and who holds it is named.
  system_->SetOpenError("/dev/sr0", 0);
  ReleaseTransport();
  TSCSIDevice& d = Select();
  ASSERT_FALSE(d.DeviceId.empty());
  d.StartStopUnit(false);  // the next command opens the node afresh
  system_->SetOpenError("/dev/sr0", EBUSY);
  EXPECT_FALSE(d.TestUnitReady(5000));
  EXPECT_EQ(d.HeldElsewhere(), "D: is in use by another program, which holds it exclusively");
  system_->SetOpenError("/dev/sr0", 0);
  EXPECT_TRUE(d.TestUnitReady(5000) || d.TestUnitReady(5000)) << d.LastError;
  EXPECT_EQ(d.HeldElsewhere(), "");
}

}  // namespace
}  // namespace velloran::drive
