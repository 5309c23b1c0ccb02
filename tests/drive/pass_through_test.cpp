// The pass-through layer, run for real through the system-call seam: device
// nodes, open, SG_IO and the address ioctls are answered by a small scripted
// kernel stand-in, so the SRB-to-SG_IO translation, enumeration and handle
// handling are what is tested.
#include "drive/zbDrvLib.h"
#include "drive/zbSPTI.h"
#include "platform/scsi_system.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <scsi/sg.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

namespace velloran::drive {
namespace {

struct FakeNode {
  std::string vendor = "TESTVEND";
  std::string product = "Fake Recorder";
  int host = 0, channel = 0, id = 0, lun = 0;
  bool hasAddress = true;
  int openErrno = 0;          // refuse to open with this errno
  bool readOnlyOnly = false;  // refuse O_RDWR with EROFS
};

class FakeKernel : public platform::ScsiSystem {
 public:
  std::map<std::string, FakeNode> nodes;
  std::map<int, std::string> open;  // fd -> node
  int nextFd = 100;
  int opens = 0;
  std::vector<std::uint8_t> lastCdb;
  int lastDirection = 0;
  unsigned lastDataLen = 0;
  unsigned lastTimeout = 0;
  std::vector<std::uint8_t> nextSense;  // non-empty: CHECK CONDITION with this sense
  std::vector<std::uint8_t> nextData;   // copied into read buffers
  std::vector<std::uint8_t> written;    // data sent with the last data-out command
  int inquiries = 0;

  bool NodeExists(const std::string& path) override { return nodes.count(path) > 0; }
  int Open(const std::string& path, int flags) override {
    auto it = nodes.find(path);
    if (it == nodes.end()) return -ENOENT;
    if (it->second.openErrno) return -it->second.openErrno;
    if (it->second.readOnlyOnly && (flags & O_ACCMODE) == O_RDWR) return -EROFS;
    EXPECT_TRUE(flags & O_NONBLOCK) << "a drive without a medium must open";
    ++opens;
    open[nextFd] = path;
    return nextFd++;
  }
  int Close(int fd) override { return open.erase(fd) ? 0 : -EBADF; }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    auto it = open.find(fd);
    if (it == open.end()) return -EBADF;
    const FakeNode& node = nodes[it->second];
    if (request == platform::kScsiIoctlGetIdLun) {
      if (!node.hasAddress) return -EINVAL;
      auto* idlun = static_cast<platform::ScsiIdLun*>(arg);
      idlun->dev_id = node.id | (node.lun << 8) | (node.channel << 16) | ((node.host & 0xFF) << 24);
      idlun->host_unique_id = node.host + 1;
      return 0;
    }
    if (request == platform::kScsiIoctlGetBusNumber) {
      if (!node.hasAddress) return -EINVAL;
      *static_cast<int*>(arg) = node.host;
      return 0;
    }
    if (request != SG_IO) return -ENOTTY;
    auto* io = static_cast<sg_io_hdr_t*>(arg);
    EXPECT_EQ(io->interface_id, 'S');
    lastCdb.assign(io->cmdp, io->cmdp + io->cmd_len);
    lastDirection = io->dxfer_direction;
    lastDataLen = io->dxfer_len;
    lastTimeout = io->timeout;
    io->status = 0;
    io->host_status = 0;
    io->driver_status = 0;
    io->sb_len_wr = 0;
    if (io->cmdp[0] == 0x12) {
      ++inquiries;
      auto* d = static_cast<std::uint8_t*>(io->dxferp);
      std::memset(d, 0, io->dxfer_len);
      d[0] = 5;
      d[4] = 31;
      std::memcpy(d + 8, (node.vendor + std::string(8, ' ')).data(), 8);
      std::memcpy(d + 16, (node.product + std::string(16, ' ')).data(), 16);
      std::memcpy(d + 32, "1.00", 4);
      return 0;
    }
    if (io->dxfer_direction == SG_DXFER_TO_DEV)
      written.assign(static_cast<std::uint8_t*>(io->dxferp), static_cast<std::uint8_t*>(io->dxferp) + io->dxfer_len);
    if (io->dxfer_direction == SG_DXFER_FROM_DEV && !nextData.empty())
      std::memcpy(io->dxferp, nextData.data(), std::min<std::size_t>(nextData.size(), io->dxfer_len));
    if (!nextSense.empty()) {
      io->status = 0x02;
      io->masked_status = 0x01;
      io->driver_status = 0x08;  // DRIVER_SENSE
      io->sb_len_wr = static_cast<unsigned char>(std::min<std::size_t>(nextSense.size(), io->mx_sb_len));
      std::memcpy(io->sbp, nextSense.data(), io->sb_len_wr);
    }
    return 0;
  }
};

class PassThroughTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleaseTransport();
    platform::InstallScsiSystem(&kernel);
  }
  void TearDown() override {
    ReleaseTransport();
    CloseHandleAfterCommand = true;
    platform::InstallScsiSystem(nullptr);
  }
  void Enumerate() {
    ASSERT_TRUE(device.InitializeASPI(true, "/nonexistent/wnaspi32.so"));
    ASSERT_EQ(TransportName(), "QZASPI32");
  }
  struct Device : TSCSIDevice {
    using TSCSIDevice::SelectAddress;
    using TSCSIDevice::SendCommand;
  };
  FakeKernel kernel;
  Device device;
};

TEST_F(PassThroughTest, NoDrivesAndNoLibraryMeansNoTransport) {
  EXPECT_FALSE(SelectTransport(true, "/nonexistent/wnaspi32.so"));
  EXPECT_FALSE(ASPIInitialized());
  EXPECT_FALSE(device.InitializeASPI(true, "/nonexistent/wnaspi32.so"));
  EXPECT_TRUE(device.Devices.empty());
}

TEST_F(PassThroughTest, DeviceLinesUseLettersAndCompactAdapterNumbers) {
  // Host numbers 3 and 12: the line can only hold one digit per field, so
  // they become adapters 0 and 1.
  kernel.nodes["/dev/sr0"] = FakeNode{"VELLORAN", "Drive D", 12, 0, 1, 0};
  kernel.nodes["/dev/sr1"] = FakeNode{"ACME", "Drive E", 3, 0, 0, 0};
  Enumerate();
  ASSERT_EQ(device.Devices.size(), 2u);
  EXPECT_EQ(device.Devices[0], "0:0:0,E: ACME    Drive E         1.00");
  EXPECT_EQ(device.Devices[1], "1:1:0,D: VELLORAN" "Drive D         1.00");
  EXPECT_EQ(PassThroughTable().adapterCount, 2);
  // Nothing stays open after enumeration.
  EXPECT_TRUE(kernel.open.empty());
}

TEST_F(PassThroughTest, DrivesWithoutAddressGetSyntheticTargets) {
  kernel.nodes["/dev/sr0"] = FakeNode{"A", "First", 0, 0, 0, 0, /*hasAddress=*/false};
  kernel.nodes["/dev/sr1"] = FakeNode{"B", "Real", 5, 0, 0, 0};
  kernel.nodes["/dev/sr2"] = FakeNode{"C", "Second", 0, 0, 0, 0, /*hasAddress=*/false};
  Enumerate();
  // The real drive is adapter 0; the others share adapter 1, targets 0 and
  // 1 in letter order, LUN 0.
  ASSERT_EQ(device.Devices.size(), 3u);
  EXPECT_EQ(device.Devices[0].substr(0, 9), "0:0:0,E: ");
  EXPECT_EQ(device.Devices[1].substr(0, 9), "1:0:0,D: ");
  EXPECT_EQ(device.Devices[2].substr(0, 9), "1:1:0,F: ");
  EXPECT_EQ(PassThroughTable().adapterCount, 2);
}

TEST_F(PassThroughTest, ReadOnlyNodeFallsBackAndRefusedNodeIsReported) {
  kernel.nodes["/dev/sr0"] = FakeNode{"RO", "ReadOnly", 0, 0, 0, 0};
  kernel.nodes["/dev/sr0"].readOnlyOnly = true;
  kernel.nodes["/dev/sr1"] = FakeNode{"NOPERM", "Locked", 1, 0, 0, 0};
  kernel.nodes["/dev/sr1"].openErrno = EACCES;
  std::vector<std::string> errors;
  device.OnDebugMessage = [&](TObject*, const std::string& text, std::uint8_t type) {
    if (type == 0) errors.push_back(text);
  };
  Enumerate();
  ASSERT_EQ(device.Devices.size(), 1u);
  EXPECT_EQ(device.Devices[0].substr(0, 9), "0:0:0,D: ");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("/dev/sr1"), std::string::npos);
  EXPECT_NE(errors[0].find("PERMISSION DENIED"), std::string::npos);
  EXPECT_NE(errors[0].find("GROUP"), std::string::npos);
}

TEST_F(PassThroughTest, InquiryIsAnsweredFromStoredData) {
  kernel.nodes["/dev/sr0"] = FakeNode{"STORED", "Inquiry", 0, 0, 0, 0};
  Enumerate();
  const int afterProbe = kernel.inquiries;
  device.SelectAddress(0, 0, 0);
  device.InquiryBuffer.fill(0xEE);
  ASSERT_TRUE(device.Inquiry());
  EXPECT_EQ(kernel.inquiries, afterProbe);  // never reached the drive
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&device.InquiryBuffer[8]), 8), "STORED  ");
  EXPECT_EQ(device.InquiryBuffer[35], '0');
  EXPECT_EQ(device.InquiryBuffer[36], 0xEE);  // 36 bytes, no more
}

TEST_F(PassThroughTest, DirectionsDataAndSenseCrossTheSeam) {
  kernel.nodes["/dev/sr0"] = FakeNode{"DIR", "Flags", 0, 0, 0, 0};
  Enumerate();
  device.SelectAddress(0, 0, 0);

  std::uint8_t in[8] = {};
  kernel.nextData = {1, 2, 3, 4, 5, 6, 7, 8};
  std::uint8_t readCapacity[10] = {0x25};
  ASSERT_TRUE(device.SendCommand(readCapacity, 10, SRB_DIR_IN | SRB_EVENT_NOTIFY, in, 8, 10000));
  EXPECT_EQ(kernel.lastDirection, SG_DXFER_FROM_DEV);
  EXPECT_EQ(kernel.lastDataLen, 8u);
  EXPECT_EQ(kernel.lastCdb.size(), 10u);
  EXPECT_EQ(in[7], 8);

  std::uint8_t out[4] = {9, 8, 7, 6};
  std::uint8_t modeSelect[10] = {0x55, 0x10, 0, 0, 0, 0, 0, 0, 4, 0};
  ASSERT_TRUE(device.SendCommand(modeSelect, 10, SRB_DIR_OUT | SRB_EVENT_NOTIFY, out, 4, 10000));
  EXPECT_EQ(kernel.lastDirection, SG_DXFER_TO_DEV);
  EXPECT_EQ(kernel.written, std::vector<std::uint8_t>({9, 8, 7, 6}));

  // A 12-byte CDB length announced for a 10-byte layout reaches the kernel
  // as 12 bytes.
  std::uint8_t reserve[12] = {0x53, 0, 0, 0, 0, 0, 0, 0x10, 0};
  ASSERT_TRUE(device.SendCommand(reserve, 12, SRB_EVENT_NOTIFY, nullptr, 0, 10000));
  EXPECT_EQ(kernel.lastDirection, SG_DXFER_NONE);
  EXPECT_EQ(kernel.lastCdb.size(), 12u);

  kernel.nextSense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x21, 0x02, 0, 0, 0, 0};
  std::uint8_t write10[10] = {0x2A, 0, 0, 0, 0x10, 0, 0, 0, 1, 0};
  std::uint8_t block[2048] = {};
  SRB_ExecSCSICmd srb;
  EXPECT_FALSE(device.SendCommand(write10, 10, SRB_DIR_OUT | SRB_EVENT_NOTIFY, block, 2048, 120000, &srb));
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_EQ(srb.SRB_TargStat, 0x02);
  EXPECT_EQ(device.LastSense[12], 0x21);
  EXPECT_EQ(device.LastError, "ILLEGAL REQUEST (INVALID ADDRESS FOR WRITE)");
}

TEST_F(PassThroughTest, EachCommandReachesTheKernelWithItsOwnTimeout) {
  kernel.nodes["/dev/sr0"] = FakeNode{"T", "Timeouts", 0, 0, 0, 0};
  Enumerate();
  device.SelectAddress(0, 0, 0);
  // A flush, a close without the immediate bit and a blank take far longer
  // than two minutes on a real drive; the kernel must not abort them. Below
  // ten seconds the command layer's minimum applies.
  const struct {
    std::uint8_t opcode;
    std::uint32_t timeoutMs;
    unsigned expected;
  } rows[] = {{0x35, 1800000, 1800000}, {0x5B, 180000, 180000}, {0xA1, 4800000, 4800000}, {0x00, 5000, 10000}};
  for (const auto& row : rows) {
    std::uint8_t cdb[12] = {row.opcode};
    ASSERT_TRUE(device.SendCommand(cdb, row.opcode >= 0xA0 ? 12 : 10, SRB_EVENT_NOTIFY, nullptr, 0, row.timeoutMs));
    EXPECT_EQ(kernel.lastTimeout, row.expected) << std::hex << int{row.opcode};
  }
}

TEST_F(PassThroughTest, HandleIsClosedAfterEachCommandOnlyWhenAsked) {
  kernel.nodes["/dev/sr0"] = FakeNode{"H", "Handles", 0, 0, 0, 0};
  Enumerate();
  device.SelectAddress(0, 0, 0);
  std::uint8_t tur[6] = {0};
  CloseHandleAfterCommand = true;
  ASSERT_TRUE(device.SendCommand(tur, 6, SRB_EVENT_NOTIFY, nullptr, 0, 5000));
  EXPECT_TRUE(kernel.open.empty());

  CloseHandleAfterCommand = false;
  const int opensBefore = kernel.opens;
  ASSERT_TRUE(device.SendCommand(tur, 6, SRB_EVENT_NOTIFY, nullptr, 0, 5000));
  ASSERT_TRUE(device.SendCommand(tur, 6, SRB_EVENT_NOTIFY, nullptr, 0, 5000));
  EXPECT_EQ(kernel.open.size(), 1u);
  EXPECT_EQ(kernel.opens, opensBefore + 1);  // one handle, kept

  PassThroughDone();  // closes what is open
  EXPECT_TRUE(kernel.open.empty());
}

TEST_F(PassThroughTest, RequestsForAbsentDevicesAndAdapters) {
  kernel.nodes["/dev/sr0"] = FakeNode{"X", "Only", 0, 0, 0, 0};
  Enumerate();
  SRB_GDEVBlock dev{};
  dev.SRB_Cmd = SC_GET_DEV_TYPE;
  dev.SRB_Target = 0;
  EXPECT_EQ(PassThroughSendCommand(&dev), SS_COMP);
  EXPECT_EQ(dev.SRB_DeviceType, 5);
  dev.SRB_Target = 3;
  EXPECT_EQ(PassThroughSendCommand(&dev), SS_NO_DEVICE);
  EXPECT_EQ(dev.SRB_DeviceType, 0x1F);

  SRB_HAInquiry ha{};
  ha.SRB_Cmd = SC_HA_INQUIRY;
  EXPECT_EQ(PassThroughSendCommand(&ha), SS_COMP);
  EXPECT_EQ(ha.HA_Count, 1);
  EXPECT_EQ(ha.HA_SCSI_ID, 7);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ha.HA_Identifier)), "SPTI 0");
  ha.SRB_HaId = 1;
  EXPECT_EQ(PassThroughSendCommand(&ha), SS_INVALID_HA);

  device.SelectAddress(0, 5, 0);
  std::uint8_t tur[6] = {0};
  EXPECT_FALSE(device.SendCommand(tur, 6, SRB_EVENT_NOTIFY, nullptr, 0, 5000));
  EXPECT_EQ(device.LastError, "NO DEVICE");
  EXPECT_EQ(PassThroughSendCommand(nullptr), SS_ERR);
  EXPECT_EQ(PassThroughSupportInfo(), (SS_COMP << 8) | 1u);
}

}  // namespace
}  // namespace velloran::drive
