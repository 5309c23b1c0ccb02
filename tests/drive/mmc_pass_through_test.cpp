// The drive class over the pass-through layer, with the virtual recorders
// presented as /dev/sr nodes: eject and allowing removal drop the drive
// handle, other commands keep it.
#include "drive/mmc_reply.h"
#include "drive/zbASPI.h"
#include "drive/zbDrvLib.h"
#include "drive/zbSPTI.h"
#include "platform/scsi_system.h"
#include "vrec/virtual_scsi_system.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace velloran::drive {
namespace {

class PassThroughDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velloran-mmc-pt-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    vrec::VirtualScsiOptions options;
    options.stateDir = dir_;
    options.recorders = 1;
    options.recorder.clock = &clock_;
    system_ = std::make_unique<vrec::VirtualScsiSystem>(options);
    platform::InstallScsiSystem(system_.get());
    ReleaseTransport();
    device_ = std::make_unique<TSCSIDevice>();
    ASSERT_TRUE(device_->InitializeASPI(true, ""));
    ASSERT_EQ(TransportName(), kPassThroughTransportName);
    ASSERT_EQ(device_->Devices.size(), 1u);
    EXPECT_EQ(device_->Devices[0].rfind("0:0:0,D: ", 0), 0u) << device_->Devices[0];
    device_->SetDevice(device_->Devices[0]);
    ASSERT_FALSE(device_->DeviceId.empty());
  }

  void TearDown() override {
    device_.reset();
    ReleaseTransport();
    platform::InstallScsiSystem(nullptr);
    system_.reset();
    CloseHandleAfterCommand = true;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  vrec::ManualClock clock_;
  std::filesystem::path dir_;
  std::unique_ptr<vrec::VirtualScsiSystem> system_;
  std::unique_ptr<TSCSIDevice> device_;
};

TEST_F(PassThroughDeviceTest, EjectAndAllowRemovalDropTheHandle) {
  TSCSIDevice& d = *device_;
  CloseHandleAfterCommand = false;
  ASSERT_TRUE(d.TestUnitReady(5000) || d.TestUnitReady(5000)) << d.LastError;
  EXPECT_EQ(system_->OpenHandles(0), 1);

  ASSERT_TRUE(d.PreventAllowRemoval(false)) << d.LastError;
  EXPECT_EQ(system_->OpenHandles(0), 1);
  EXPECT_TRUE(system_->recorder(0).Prevented());
  // Allowing removal closes the handle, and with it the kernel's lock.
  ASSERT_TRUE(d.PreventAllowRemoval(true)) << d.LastError;
  EXPECT_EQ(system_->OpenHandles(0), 0);
  EXPECT_FALSE(CloseHandleAfterCommand);
  EXPECT_FALSE(system_->recorder(0).Prevented());

  ASSERT_TRUE(d.TestUnitReady(5000));
  EXPECT_EQ(system_->OpenHandles(0), 1);
  ASSERT_TRUE(d.StartStopUnit(true)) << d.LastError;
  EXPECT_EQ(system_->OpenHandles(0), 0);
  EXPECT_FALSE(CloseHandleAfterCommand);
  EXPECT_EQ(system_->CommandsSeen(0x1B), 1u);
  ASSERT_TRUE(d.StartStopUnit(false)) << d.LastError;
  EXPECT_EQ(system_->OpenHandles(0), 0);
}

TEST_F(PassThroughDeviceTest, DiscInformationThroughSgIo) {
  TSCSIDevice& d = *device_;
  TDisc disc;
  ASSERT_TRUE(d.GetDiscInfo(disc)) << d.LastError;
  EXPECT_EQ(d.GetDiscKind(), mmc::kKindCdR);
  EXPECT_EQ(disc.mediumName, "CD-R");
  EXPECT_EQ(disc.capacity, 359849u);
  EXPECT_EQ(d.NextWritableAddress(), 0u);
  EXPECT_EQ(d.FreeBlocks(), 359849u);
  EXPECT_GT(d.DeviceMaxWriteSpeed(), 0);
}

}  // namespace
}  // namespace velloran::drive
