// The drive class's operations against the virtual recorder: selection and
// identification, capabilities, command bytes as the drive receives them,
// and the composites.
#include "drive/mmc_reply.h"
#include "drive/zbConst.h"
#include "drive/zbSPTI.h"
#include "mmc_harness.h"

#include <functional>

namespace velloran::drive::testing {
namespace {

using vrec::MediumKind;

class DeviceTest : public RecorderTest {};

TEST_F(DeviceTest, DeviceIdParsing) {
  ASSERT_FALSE(dev().Devices.empty());
  const std::string line = dev().Devices.front();
  EXPECT_EQ(line.rfind("0:0:0,D: ", 0), 0u) << line;

  std::vector<std::string> messages;
  int changes = 0;
  dev().OnDebugMessage = [&](TObject*, const std::string& m, std::uint8_t type) {
    if (type == 0) messages.push_back(m);
  };
  dev().OnDeviceChange = [&](TObject*) { ++changes; };

  dev().SetDevice(line);
  EXPECT_EQ(dev().DeviceId, line);
  EXPECT_EQ(dev().Adapter(), 0);
  EXPECT_EQ(dev().DeviceType(), 5);
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(messages.empty());
  // Control characters of the inquiry data never reach the description.
  for (char c : dev().DeviceDescription()) EXPECT_GE(static_cast<unsigned char>(c), 0x20);
  EXPECT_EQ(dev().DeviceDescription().size(), 8u + 1 + 16 + 1 + 4);

  struct Row {
    const char* id;
    bool message;
  };
  const Row rows[] = {
      {"", false},          // deselects silently
      {"1:0", true},        // too short
      {"0:0:", true},       // four characters
      {"x:0:0,D:", true},   // not a digit
      {"10:0:0,D:", true},  // two-digit adapters cannot be expressed
      {"0:1:0,?: nothing there", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    dev().SetDevice(line);
    ASSERT_FALSE(dev().DeviceId.empty());
    messages.clear();
    changes = 0;
    dev().SetDevice(row.id);
    EXPECT_TRUE(dev().DeviceId.empty());
    EXPECT_TRUE(dev().DeviceDescription().empty());
    EXPECT_EQ(dev().DeviceType(), 0x7F);
    EXPECT_EQ(dev().Adapter(), kNoDevice);
    EXPECT_EQ(changes, 0);
    if (row.message) {
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_EQ(messages[0], msg::INVALID_DEVICE_ID);
    } else {
      EXPECT_TRUE(messages.empty());
    }
  }
  // Characters 1, 3 and 5 address the device: 1:2:3 is asked, not 1:0:0.
  transport_.addresses.clear();
  dev().SetDevice("1:2:3,E: SOMEONE");
  ASSERT_FALSE(transport_.addresses.empty());
  EXPECT_EQ(transport_.addresses.front(), (std::array<std::uint8_t, 3>{1, 2, 3}));
  EXPECT_TRUE(dev().DeviceId.empty());
}

TEST_F(DeviceTest, WithoutDeviceEveryOperationFailsIncludingWrite) {
  dev().SetDevice("");
  transport_.log.clear();
  std::array<std::uint8_t, 2048> buf{};
  std::uint32_t a = 7, b = 7;
  const std::vector<std::pair<const char*, std::function<bool()>>> ops = {
      {"TestUnitReady", [&] { return dev().TestUnitReady(1000); }},
      {"Write10", [&] { return dev().Write10(0, 1, 0x50, 2048, buf.data()); }},
      {"Read10", [&] { return dev().Read10(0, 1, 2048, buf.data()); }},
      {"ReadCapacity", [&] { return dev().ReadCapacity(a, b); }},
      {"ReadFormatCapacities", [&] { return dev().ReadFormatCapacities(a, b); }},
      {"ReserveTrack", [&] { return dev().ReserveTrack(100); }},
      {"SetCDSpeed", [&] { return dev().SetCDSpeed(0, 0); }},
      {"CloseTrackSession", [&] { return dev().CloseTrackSession(true, true, false); }},
      {"SynchronizeCache", [&] { return dev().SynchronizeCache(1000, false); }},
      {"ModeSense10", [&] { return dev().ModeSense10(5, buf.data(), false, 64, 63); }},
      {"ReadCapabilities", [&] { return dev().ReadCapabilities(); }},
      {"SetWriteParameters", [&] { return dev().SetWriteParameters(false, true, 2, true); }},
      {"ReadBufferCapacity", [&] { return dev().ReadBufferCapacity(); }},
  };
  for (const auto& [name, op] : ops) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(op());
    EXPECT_EQ(dev().LastError, msg::NO_DEVICE_SELECTED);
  }
  EXPECT_EQ(a, 7u);  // outputs untouched on failure
  EXPECT_TRUE(transport_.log.empty());
  TDisc disc;
  disc.capacity = 1234;
  EXPECT_FALSE(dev().GetDiscInfo(disc));
  EXPECT_EQ(disc.capacity, 1234u);
  EXPECT_EQ(dev().GetDiscStatus(), -1);
  EXPECT_EQ(dev().NextWritableAddress(), 0u);
  EXPECT_EQ(dev().FreeBlocks(), 0u);
}

TEST_F(DeviceTest, CapabilitiesOfTheRecorder) {
  Insert(MediumKind::CdR);
  namespace cap = mmc::cap;
  const std::uint32_t c = dev().Capabilities;
  for (std::uint32_t bit : {cap::ReadCDR, cap::ReadCDRW, cap::ReadDVD, cap::WriteCDR, cap::WriteCDRW, cap::WriteTest,
                            cap::ReadDVDR, cap::WriteDVDR, cap::ReadDVDPR, cap::ReadDVDPRW})
    EXPECT_TRUE(c & bit) << std::hex << bit;
  EXPECT_GT(dev().DeviceMaxWriteSpeed(), 0);
  EXPECT_GT(dev().DeviceMaxReadSpeed(), 0);
  EXPECT_EQ(dev().CapabilityWords.bufferSizeKiB, 2048);
  // The page is read afresh by the getters: a new write speed shows at once.
  ASSERT_TRUE(dev().SetCDSpeed(0, 1411));
  EXPECT_EQ(dev().CurrentWriteSpeed(), 1411);
  ASSERT_TRUE(dev().SetCDSpeed(0, 0));
  EXPECT_EQ(dev().CurrentWriteSpeed(), dev().MaxWriteSpeed());
}

TEST_F(DeviceTest, ZeroWriteSpeedsInTheCurrentPageBecomeOneXDvd) {
  Insert(MediumKind::DvdR);
  // Firmware that leaves the obsolete speed words of the current page at 0.
  transport_.tamper = [](const std::uint8_t* cdb, std::span<std::uint8_t> data) {
    if (cdb[0] != 0x5A || (cdb[2] & 0xC0) != 0) return;
    const std::size_t off = mmc::ModePageOffset(data, 0x2A);
    if (off == 0 || data.size() < off + 22) return;
    data[off + 18] = data[off + 19] = data[off + 20] = data[off + 21] = 0;
  };
  ASSERT_TRUE(dev().ReadCapabilities());
  EXPECT_EQ(dev().CapabilityWords.currentWriteSpeed, 1385);
  EXPECT_EQ(dev().CapabilityWords.maxWriteSpeed, 1385);
  EXPECT_EQ(dev().CurrentWriteSpeed(), 1385);
  // The default-values page still tells the drive's real maximum.
  EXPECT_GT(dev().DeviceMaxWriteSpeed(), 1385);
}

TEST_F(DeviceTest, SpeedCommandsAsTheDriveReceivesThem) {
  Insert(MediumKind::CdR);
  ASSERT_TRUE(dev().SetCDSpeed(0, 0));
  dev().ReadSpeed = 0;
  dev().SetWriteSpeed(4234);
  EXPECT_EQ(dev().WriteSpeed(), 4234);
  auto sent = Sent(0xBB);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].cdb, (std::vector<std::uint8_t>{0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(sent[1].cdb, (std::vector<std::uint8_t>{0xBB, 0, 0xFF, 0xFF, 0x10, 0x8A, 0, 0, 0, 0, 0, 0}));
  // The setter keeps the value even when the drive refuses (no device).
  dev().SetDevice("");
  dev().SetWriteSpeed(706);
  EXPECT_EQ(dev().WriteSpeed(), 706);
}

TEST_F(DeviceTest, ReserveTrackAnnouncesTwelveBytes) {
  Insert(MediumKind::DvdR);
  ASSERT_TRUE(dev().ReserveTrack(0x1000)) << dev().LastError;
  auto sent = Sent(0x53);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].cdb, (std::vector<std::uint8_t>{0x53, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0}));
  auto status = Status();
  ASSERT_FALSE(status.tracks.empty());
  EXPECT_EQ(status.tracks.front().state, "reserved");
  EXPECT_EQ(status.tracks.front().size, 0x1000u);
}

TEST_F(DeviceTest, BufferCapacity) {
  Insert(MediumKind::CdR);
  ASSERT_TRUE(dev().ReadBufferCapacity());
  EXPECT_EQ(dev().DeviceBufferSize, 2u << 20);
  EXPECT_EQ(dev().DeviceFreeBufferSize, 2u << 20);
  dev().SetDevice("");
  EXPECT_FALSE(dev().ReadBufferCapacity());
  EXPECT_EQ(dev().DeviceFreeBufferSize, 0u);
  EXPECT_EQ(dev().DeviceBufferSize, 2u << 20);
}

TEST_F(DeviceTest, WriteParametersForDvdRamSendNothing) {
  Insert(MediumKind::DvdRam);
  EXPECT_TRUE(dev().SetWriteParameters(false, true, mmc::kKindDvdRam, true));
  EXPECT_TRUE(transport_.log.empty());
}

TEST_F(DeviceTest, WriteParametersReachTheDrive) {
  Insert(MediumKind::CdR);
  dev().FinalizeDisc = false;
  ASSERT_TRUE(dev().SetWriteParameters(false, true, mmc::kKindCdR, true)) << dev().LastError;
  auto select = Sent(0x55);
  ASSERT_EQ(select.size(), 1u);
  EXPECT_EQ(select[0].cdb[1], 0x10);
  EXPECT_EQ(select[0].cdb[8], 60);
  ASSERT_EQ(select[0].dataOut.size(), 60u);
  EXPECT_EQ(select[0].dataOut[8], 0x05);
  EXPECT_EQ(select[0].dataOut[9], 0x32);
  // Read back what the drive now holds: track-at-once, next session allowed,
  // Mode 1, pause 150.
  std::array<std::uint8_t, 512> reply{};
  ASSERT_TRUE(dev().ModeSense10(5, reply.data(), false, 128, 127));
  const std::size_t off = mmc::ModePageOffset(reply, 5);
  ASSERT_GT(off, 0u);
  EXPECT_EQ(reply[off + 2] & 0x0F, 1);
  EXPECT_EQ(reply[off + 3] & 0xC0, 0xC0);
  EXPECT_EQ(reply[off + 4], 8);
  EXPECT_EQ(reply[off + 15], 150);

  dev().FinalizeDisc = true;
  ASSERT_TRUE(dev().SetWriteParameters(false, true, mmc::kKindCdR, true));
  ASSERT_TRUE(dev().ModeSense10(5, reply.data(), false, 128, 127));
  EXPECT_EQ(reply[off + 3] & 0xC0, 0x00);
}

TEST_F(DeviceTest, ProbeWriteModesFollowsTheMedium) {
  Insert(MediumKind::CdR);
  EXPECT_EQ(dev().WriteModes, 1 | 2 | 4);
  // The probe pages carry CD block types (raw and audio): a DVD-R, which
  // takes only Mode 1 blocks, accepts none of them.
  Insert(MediumKind::DvdR);
  EXPECT_EQ(dev().WriteModes, 0);
  // DVD+R drives take the page and ignore it.
  Insert(MediumKind::DvdPlusR);
  EXPECT_EQ(dev().WriteModes, 1 | 2 | 4);
}

TEST_F(DeviceTest, FinalizeSendsCloseFunctionFive) {
  Insert(MediumKind::DvdPlusR);
  std::vector<std::uint8_t> data(16 * 2048, 0x5A);
  ASSERT_TRUE(dev().Write10(0, 16, 0x50, data.size(), data.data())) << dev().LastError;
  ASSERT_TRUE(dev().SynchronizeCache(60000, false));
  ASSERT_TRUE(dev().CloseTrackSession(true, false, true)) << dev().LastError;
  auto close = Sent(0x5B);
  ASSERT_EQ(close.size(), 1u);
  EXPECT_EQ(close[0].cdb[2], 5);
  EXPECT_EQ(Status().discStatus, "complete");
  EXPECT_EQ(dev().GetDiscStatus(), 2);
}

TEST_F(DeviceTest, StreamingAndTimeStamp) {
  Insert(MediumKind::DvdR);
  ASSERT_TRUE(dev().SetStreamingPerformance(1234, 5000, 2881, 5762, 1000, 1000)) << dev().LastError;
  auto sent = Sent(0xB6);
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].dataOut.size(), 28u);
  EXPECT_EQ(sent[0].dataOut[7], 0);  // start address is always 0
  EXPECT_EQ(sent[0].dataOut[11], 5000 & 0xFF);
  ASSERT_TRUE(dev().SendTimeStamp(0)) << dev().LastError;
  auto stamp = Sent(0xBF);
  ASSERT_EQ(stamp.size(), 1u);
  EXPECT_EQ(stamp[0].cdb[7], 0x0F);
  EXPECT_EQ(stamp[0].dataOut.size(), 22u);
}

TEST_F(DeviceTest, CloseHandleAfterCommandAroundEjectAndAllow) {
  Insert(MediumKind::CdR);
  CloseHandleAfterCommand = true;
  ASSERT_TRUE(dev().PreventAllowRemoval(false));
  EXPECT_TRUE(CloseHandleAfterCommand);  // preventing leaves the flag alone
  ASSERT_TRUE(dev().PreventAllowRemoval(true));
  EXPECT_FALSE(CloseHandleAfterCommand);
  ASSERT_TRUE(dev().StartStopUnit(true));
  EXPECT_FALSE(CloseHandleAfterCommand);
  EXPECT_TRUE(Status().trayOpen);
  EXPECT_FALSE(dev().TestUnitReady(5000));
  EXPECT_EQ(dev().LastSense[12], 0x3A);
  ASSERT_TRUE(dev().StartStopUnit(false));
  EXPECT_FALSE(Status().trayOpen);
  CloseHandleAfterCommand = true;
}

TEST_F(DeviceTest, WaitUntilReadyRidesOutABlank) {
  Insert(MediumKind::CdRw);
  // A quick blank with Immed: the drive answers at once and is busy a while.
  const std::uint8_t blank[12] = {0xA1, 0x11};
  ASSERT_TRUE(dev().SendCommand(blank, 12, 0x40, nullptr, 0, 10000)) << dev().LastError;
  EXPECT_TRUE(dev().WaitUntilReady(600000, 1000));
  EXPECT_FALSE(dev().slept.empty());
  EXPECT_TRUE(dev().TestUnitReady(5000));
}

// After a recording the tray is opened and closed so the system reads the
// disc anew, but only where the drive moves its tray itself (mode page 2Ah
// byte 6: the loading mechanism in bits 7-5, eject by command in bit 3).
TEST_F(DeviceTest, ReloadOnlyWhereTheDriveClosesItsOwnTray) {
  using R = TSCSIDevice::TReload;
  struct Row {
    const char* drive;
    std::uint8_t mechanism;
    bool loadFails;  // a laptop's tray: reported as a tray, never pulled in
    R expected;
    std::size_t startStops;  // that reached the recorder (not the laptop's failed load)
    bool trayOpenAfter;
  };
  const Row rows[] = {
      {"tray", 0x29, false, R::Reloaded, 2, false},
      {"caddy or slot", 0x09, false, R::NotPossible, 0, false},
      {"pop-up", 0x49, false, R::NotPossible, 0, false},
      {"tray without eject", 0x21, false, R::NotPossible, 0, false},
      {"laptop tray", 0x29, true, R::TrayLeftOpen, 1, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.drive);
    Insert(MediumKind::CdR);
    const std::uint8_t mechanism = row.mechanism;
    transport_.tamper = [mechanism](const std::uint8_t* cdb, std::span<std::uint8_t> data) {
      if (cdb[0] != 0x5A) return;
      const std::size_t off = mmc::ModePageOffset(data, 0x2A);
      if (off != 0 && data.size() > off + 6) data[off + 6] = static_cast<std::uint8_t>(mechanism | (data[off + 6] & 0x02));
    };
    const bool loadFails = row.loadFails;
    transport_.intercept = [loadFails](SRB_ExecSCSICmd& srb) {
      if (!loadFails || srb.CDBByte[0] != 0x1B || srb.CDBByte[4] != 0x03) return false;
      FailRequest(srb, 0x02, 0x3A, 0x02);  // MEDIUM NOT PRESENT - TRAY OPEN
      return true;
    };
    EXPECT_EQ(dev().ReloadMedium(30000), row.expected);
    EXPECT_EQ(Sent(0x1B).size(), row.startStops);
    EXPECT_EQ(Status().trayOpen, row.trayOpenAfter);
    if (row.expected == R::Reloaded) EXPECT_TRUE(dev().TestUnitReady(5000)) << "the disc is ready again";
    transport_.tamper = nullptr;
    transport_.intercept = nullptr;
  }
}

}  // namespace
}  // namespace velloran::drive::testing
