// wnaspi32.so loaded as the burner loads it, answering ASPI request blocks.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "drive/zbASPI.h"
#include "vrec_test_util.h"

namespace velloran::vrec::test {
namespace {

// The library reads the state folder once, at its first request, so the
// whole suite shares one folder.
class WnaspiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    {
      Recorder second(dir_->path, 1);  // two recorders: targets 0 and 1
      ASSERT_TRUE(second.Insert(MediumKind::DvdPlusRw, InsertOptions{std::nullopt, true, {}}));
    }
    ::setenv("VELLORAN_RECORDER_DIR", dir_->path.c_str(), 1);
    handle_ = ::dlopen(VELLORAN_BIN_DIR "/wnaspi32.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << ::dlerror();
    support_ = reinterpret_cast<TGetASPI32SupportInfo>(::dlsym(handle_, "GetASPI32SupportInfo"));
    send_ = reinterpret_cast<TSendASPI32Command>(::dlsym(handle_, "SendASPI32Command"));
  }
  static void TearDownTestSuite() {
    ::unsetenv("VELLORAN_RECORDER_DIR");
    delete dir_;
    dir_ = nullptr;
  }

  static SRB_ExecSCSICmd Exec(std::uint8_t target, std::initializer_list<std::uint8_t> cdb, std::uint8_t flags,
                              std::uint8_t* buffer, std::uint32_t length) {
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Target = target;
    srb.SRB_Flags = flags;
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = buffer;
    srb.SRB_SenseLen = 24;
    srb.SRB_CDBLen = static_cast<std::uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), srb.CDBByte);
    send_(&srb);
    return srb;
  }

  static inline TempDir* dir_ = nullptr;
  static inline void* handle_ = nullptr;
  static inline TGetASPI32SupportInfo support_ = nullptr;
  static inline TSendASPI32Command send_ = nullptr;
};

TEST_F(WnaspiTest, ExportsTheTwoEntryPoints) {
  ASSERT_NE(support_, nullptr);
  ASSERT_NE(send_, nullptr);
  EXPECT_EQ(support_(), 0x0101u);  // SS_COMP, one adapter
}

TEST_F(WnaspiTest, AdapterAndDeviceQueries) {
  SRB_HAInquiry ha{};
  ha.SRB_Cmd = SC_HA_INQUIRY;
  EXPECT_EQ(send_(&ha), SS_COMP);
  EXPECT_EQ(ha.HA_Count, 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ha.HA_ManagerId), 13), "VELLORAN VREC");
  ha.SRB_HaId = 1;
  EXPECT_EQ(send_(&ha), SS_INVALID_HA);

  SRB_GDEVBlock dev{};
  dev.SRB_Cmd = SC_GET_DEV_TYPE;
  dev.SRB_Target = 1;
  EXPECT_EQ(send_(&dev), SS_COMP);
  EXPECT_EQ(dev.SRB_DeviceType, 5);
  dev.SRB_Target = 2;
  EXPECT_EQ(send_(&dev), SS_NO_DEVICE);
  dev.SRB_Target = 0;
  dev.SRB_Lun = 1;
  EXPECT_EQ(send_(&dev), SS_NO_DEVICE);

  SRB_GetDiskInfo disk{};
  disk.SRB_Cmd = SC_GET_DISK_INFO;
  EXPECT_EQ(send_(&disk), SS_COMP);
  EXPECT_EQ(disk.SRB_Int13HDriveInfo, 128);

  SRB_Header unknown{};
  unknown.SRB_Cmd = 0x42;
  EXPECT_EQ(send_(&unknown), SS_INVALID_CMD);
  EXPECT_EQ(send_(nullptr), SS_INVALID_SRB);
}

TEST_F(WnaspiTest, ExecutesCommandsWithSenseAndEvents) {
  std::uint8_t buffer[128] = {};
  auto inquiry = Exec(0, {0x12, 0, 0, 0, 128, 0}, SRB_DIR_IN, buffer, sizeof buffer);
  EXPECT_EQ(inquiry.SRB_Status, SS_COMP);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer) + 16, 15), "VREC RECORDER 0");
  auto second = Exec(1, {0x12, 0, 0, 0, 128, 0}, SRB_DIR_IN, buffer, sizeof buffer);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer) + 16, 15), "VREC RECORDER 1");
  (void)second;

  // Target 1 holds the DVD+RW: profile 1Ah.
  std::uint8_t config[8] = {};
  auto gc = Exec(1, {0x46, 2, 0, 0, 0, 0, 0, 0, 8, 0}, SRB_DIR_IN, config, sizeof config);
  EXPECT_EQ(gc.SRB_Status, SS_COMP);
  EXPECT_EQ(config[7], 0x1A);

  // A failing command: SS_ERR, target status, sense copied.
  std::uint8_t block[2048];
  auto bad = Exec(0, {0x28, 0, 0, 0, 0x10, 0, 0, 0, 1, 0}, SRB_DIR_IN, block, sizeof block);
  EXPECT_EQ(bad.SRB_Status, SS_ERR);
  EXPECT_EQ(bad.SRB_HaStat, HASTAT_OK);
  EXPECT_EQ(bad.SRB_TargStat, STATUS_CHKCOND);
  EXPECT_EQ(bad.SenseArea[0], 0x70);
  EXPECT_EQ(bad.SenseArea[2], 0x05);
  EXPECT_EQ(bad.SenseArea[12], 0x21);

  // Event notification: signalled once, after the status is final.
  struct Probe {
    AspiEvent event;
    SRB_ExecSCSICmd* srb;
    int signals;
    std::uint8_t statusSeen;
  };
  static Probe probe;
  probe = Probe{{[](AspiEvent*) {
                   ++probe.signals;
                   probe.statusSeen = probe.srb->SRB_Status;
                 }},
                nullptr, 0, 0xFF};
  SRB_ExecSCSICmd tur{};
  tur.SRB_Cmd = SC_EXEC_SCSI_CMD;
  tur.SRB_Flags = SRB_EVENT_NOTIFY;
  tur.SRB_CDBLen = 6;
  tur.SRB_SenseLen = 24;
  tur.SRB_PostProc = &probe.event;
  probe.srb = &tur;
  EXPECT_EQ(send_(&tur), SS_COMP);
  EXPECT_EQ(probe.signals, 1);
  EXPECT_EQ(probe.statusSeen, SS_COMP);

  // Data out through the library lands on the medium of target 1.
  std::memset(block, 0x6B, sizeof block);
  auto write = Exec(1, {0x2A, 0, 0, 0, 0, 7, 0, 0, 1, 0}, SRB_DIR_OUT, block, sizeof block);
  EXPECT_EQ(write.SRB_Status, SS_COMP);
  Recorder check(dir_->path, 1);
  const fs::path image = dir_->path / "t1.iso";
  ASSERT_TRUE(check.Export(image));
  EXPECT_EQ(fs::file_size(image), 8u * 2048);
  auto noDevice = Exec(5, {0x00, 0, 0, 0, 0, 0}, 0, nullptr, 0);
  EXPECT_EQ(noDevice.SRB_Status, SS_NO_DEVICE);
}

}  // namespace
}  // namespace velloran::vrec::test
