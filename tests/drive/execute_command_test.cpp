// ExecuteCommand and the error texts, through a transport whose replies each
// test scripts (status, host and target status, sense bytes, completion).
#include "drive/asc_table.h"
#include "drive/zbConst.h"
#include "drive/zbDrvLib.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace velloran::drive {
namespace {

struct ScriptedReply {
  std::uint8_t status = SS_COMP;
  std::uint8_t hostStatus = 0;
  std::uint8_t targetStatus = 0;
  std::vector<std::uint8_t> sense;
  int completeAfterMs = -1;  // >= 0: leave pending, complete from another thread
  bool neverComplete = false;
};

ScriptedReply g_reply;
SRB_ExecSCSICmd g_seen;
std::thread g_completer;

std::uint32_t ScriptedSupportInfo() { return (SS_COMP << 8) | 1; }

std::uint32_t ScriptedSend(void* request) {
  auto* header = static_cast<SRB_Header*>(request);
  if (header->SRB_Cmd != SC_EXEC_SCSI_CMD) return header->SRB_Status = SS_ERR;
  auto* srb = static_cast<SRB_ExecSCSICmd*>(request);
  g_seen = *srb;
  auto finish = [srb] {
    srb->SRB_HaStat = g_reply.hostStatus;
    srb->SRB_TargStat = g_reply.targetStatus;
    if (!g_reply.sense.empty())
      std::memcpy(srb->SenseArea, g_reply.sense.data(), std::min<std::size_t>(g_reply.sense.size(), SENSE_AREA_LEN));
    srb->SRB_Status = g_reply.status;
    if ((srb->SRB_Flags & SRB_EVENT_NOTIFY) && srb->SRB_PostProc) {
      auto* e = static_cast<AspiEvent*>(srb->SRB_PostProc);
      e->Signal(e);
    }
  };
  if (g_reply.neverComplete) return SS_PENDING;
  if (g_reply.completeAfterMs >= 0) {
    g_completer = std::thread([finish] {
      std::this_thread::sleep_for(std::chrono::milliseconds(g_reply.completeAfterMs));
      finish();
    });
    return SS_PENDING;
  }
  finish();
  return srb->SRB_Status;
}

std::vector<std::uint8_t> FixedSense(std::uint8_t response, std::uint8_t byte2, std::uint8_t asc, std::uint8_t ascq,
                                     std::uint8_t additional = 10) {
  std::vector<std::uint8_t> s(18, 0);
  s[0] = response;
  s[2] = byte2;
  s[7] = additional;
  s[12] = asc;
  s[13] = ascq;
  return s;
}

class ExecuteCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_reply = ScriptedReply{};
    InstallTransport(ScriptedSupportInfo, ScriptedSend, "TEST");
    device.OnDebugMessage = [this](TObject*, const std::string& text, std::uint8_t type) {
      messages.emplace_back(type, text);
    };
    Select(1, 2, 0);
  }
  void TearDown() override {
    if (g_completer.joinable()) g_completer.join();
    ReleaseTransport();
  }
  struct Device : TSCSIDevice {
    using TSCSIDevice::SelectAddress;
    using TSCSIDevice::SendCommand;
  };
  void Select(int a, int t, int l) { device.SelectAddress(a, t, l); }

  // Sends a READ (10) of 4 bytes with the given time-out.
  bool SendRead(std::uint32_t timeoutMs = 10000) {
    std::uint8_t cdb[10] = {0x28, 0x1F, 0, 0, 0, 7, 0, 0, 1, 0};
    return device.SendCommand(cdb, 10, SRB_DIR_IN | SRB_EVENT_NOTIFY, buffer, 4, timeoutMs, &srb);
  }

  Device device;
  std::vector<std::pair<int, std::string>> messages;
  alignas(4) std::uint8_t buffer[8] = {0xDE, 0xAD, 0xBE, 0xEF};
  SRB_ExecSCSICmd srb{};
};

TEST_F(ExecuteCommandTest, FillsAddressSenseLengthAndLunBits) {
  Select(1, 2, 3);
  ASSERT_TRUE(SendRead());
  EXPECT_EQ(g_seen.SRB_Cmd, SC_EXEC_SCSI_CMD);
  EXPECT_EQ(g_seen.SRB_HaId, 1);
  EXPECT_EQ(g_seen.SRB_Target, 2);
  EXPECT_EQ(g_seen.SRB_Lun, 3);
  EXPECT_EQ(g_seen.SRB_SenseLen, 24);
  // LUN in the top three bits, the low five bits kept.
  EXPECT_EQ(g_seen.CDBByte[1], (3 << 5) | 0x1F);
  EXPECT_TRUE(device.LastError.empty());
}

TEST_F(ExecuteCommandTest, WithoutTransportOrDeviceTheRequestIsUntouched) {
  SRB_ExecSCSICmd request{};
  request.SRB_Flags = SRB_EVENT_NOTIFY;
  Select(kNoDevice, kNoDevice, kNoDevice);
  EXPECT_EQ(device.ExecuteCommand(request, 1000), SS_NO_ASPI);
  EXPECT_EQ(request.SRB_Status, 0);
  EXPECT_EQ(request.SRB_Cmd, 0);
  Select(0, 0, 0);
  ReleaseTransport();
  EXPECT_EQ(device.ExecuteCommand(request, 1000), SS_NO_ASPI);
  EXPECT_EQ(request.SRB_Status, 0);
  // The operations built on it fail, with a reason.
  EXPECT_FALSE(SendRead());
  EXPECT_FALSE(device.LastError.empty());
}

TEST_F(ExecuteCommandTest, ShortTimeoutIsWaitedAsTenSeconds) {
  // The transport completes after 3.5 s: a 3 s wait would have timed out.
  g_reply.completeAfterMs = 3500;
  EXPECT_TRUE(SendRead(3000));
  EXPECT_TRUE(device.LastError.empty());
}

TEST_F(ExecuteCommandTest, PendingWithoutEventNotifyIsATimeout) {
  g_reply.neverComplete = true;
  std::uint8_t cdb[10] = {0x28};
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(device.SendCommand(cdb, 10, SRB_DIR_IN, buffer, 4, 10000, &srb));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));  // no wait at all
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_EQ(srb.SRB_HaStat, HASTAT_TIMEOUT);
  EXPECT_EQ(device.LastError, "COMMAND TIMEOUT");
}

TEST_F(ExecuteCommandTest, SenseKeyTexts) {
  struct Row {
    std::uint8_t response, byte2;
    const char* text;
  };
  const Row rows[] = {
      {0x70, 0x80, "FILEMARK"},        {0x70, 0x40, "END OF MEDIA"},     {0x70, 0x20, "ILLEGAL LENGTH"},
      {0x70, 0x00, "NO ADDITIONAL SENSE INFORMATION"},                  {0x71, 0x01, "RECOVERED ERROR"},
      {0xF0, 0x02, "NOT READY"},       {0xF1, 0x03, "MEDIUM ERROR"},     {0x70, 0x04, "HARDWARE ERROR"},
      {0x70, 0x05, "ILLEGAL REQUEST"}, {0x70, 0x06, "UNIT ATTENTION"},   {0x70, 0x07, "DATA PROTECT"},
      {0x70, 0x08, "ERASE CHECK"},     {0x70, 0x09, "CHECK CONDITION"},  {0x70, 0x0A, "COPYABORTED"},
      {0x70, 0x0B, "ABORTED COMMAND"}, {0x70, 0x0C, "CHECK CONDITION"},  {0x70, 0x0D, "VOLUME OVERFLOW"},
      {0x70, 0x0E, "MISCOMPARE"},      {0x70, 0x0F, "RESERVED"},         {0x72, 0x05, "UNKNOWN"},
      {0x00, 0x05, ""},
  };
  for (const auto& row : rows) {
    g_reply.status = SS_ERR;
    g_reply.targetStatus = STATUS_CHKCOND;
    // Additional length 0: the ASC text is not appended.
    g_reply.sense = FixedSense(row.response, row.byte2, 0x24, 0x00, 0);
    EXPECT_FALSE(SendRead());
    EXPECT_EQ(device.LastError, row.text) << "response " << int(row.response) << " byte 2 " << int(row.byte2);
  }
}

TEST_F(ExecuteCommandTest, AscTextAppendedFromTheStandardsTable) {
  g_reply.status = SS_ERR;
  g_reply.targetStatus = STATUS_CHKCOND;
  g_reply.sense = FixedSense(0x70, 0x05, 0x24, 0x00, 10);
  EXPECT_FALSE(SendRead());
  EXPECT_EQ(device.LastError, "ILLEGAL REQUEST (INVALID FIELD IN CDB)");
  EXPECT_EQ(device.LastSense[12], 0x24);
  EXPECT_EQ(device.LastSense[2], 0x05);

  g_reply.sense = FixedSense(0x70, 0x02, 0x3A, 0x00);
  EXPECT_FALSE(SendRead());
  EXPECT_EQ(device.LastError, "NOT READY (MEDIUM NOT PRESENT)");

  g_reply.sense = FixedSense(0x70, 0x05, 0x21, 0x02);
  EXPECT_FALSE(SendRead());
  EXPECT_EQ(device.LastError, "ILLEGAL REQUEST (INVALID ADDRESS FOR WRITE)");

  g_reply.sense = FixedSense(0x70, 0x03, 0x73, 0x03);
  EXPECT_FALSE(SendRead());
  EXPECT_EQ(device.LastError, "MEDIUM ERROR (POWER CALIBRATION AREA ERROR)");

  // A pair the standards do not assign (vendor-specific ASC 83h): its
  // numbers in decimal.
  g_reply.sense = FixedSense(0x70, 0x05, 0x83, 4);
  EXPECT_FALSE(SendRead());
  EXPECT_EQ(device.LastError, "ILLEGAL REQUEST (131,4)");
  // Every assignment of the standards is there, not just a few rows.
  g_reply.sense = FixedSense(0x70, 0x03, 0x53, 0x04);
  EXPECT_FALSE(SendRead());
  EXPECT_EQ(device.LastError, "MEDIUM ERROR (MEDIUM THREAD OR UNTHREAD FAILURE)");

  // ... and nothing when there are no additional sense bytes.
  g_reply.sense = FixedSense(0x70, 0x05, 0x53, 0x04, 0);
  EXPECT_FALSE(SendRead());
  EXPECT_EQ(device.LastError, "ILLEGAL REQUEST");
}

TEST_F(ExecuteCommandTest, TransportStatusTexts) {
  struct Row {
    std::uint8_t status, host, target;
    const char* text;
  };
  const Row rows[] = {
      {SS_ABORTED, 0, 0, "OPERATION ABORTED BY USER"}, {SS_ABORT_FAIL, 0, 0, "OPERATION ABORTED BY USER"},
      {SS_ERR, 0, STATUS_BUSY, "TARGET BUSY"},         {SS_ERR, 0, STATUS_RESCONF, "TARGET RESERVATION CONFLICT"},
      {SS_ERR, 0, STATUS_QUEUE_FULL, "TARGET QUEUE FULL"}, {SS_ERR, 0x09, 0, "COMMAND TIMEOUT"},
      {SS_ERR, 0x0B, 0, "SRB TIMEOUT"},   {SS_ERR, 0x0D, 0, "MESSAGE REJECT"}, {SS_ERR, 0x0E, 0, "BUS RESET"},
      {SS_ERR, 0x0F, 0, "PARITY ERROR"},  {SS_ERR, 0x10, 0, "REQUEST SENSE FAILED"},
      {SS_ERR, 0x11, 0, "SELECTION TIMEOUT"}, {SS_ERR, 0x12, 0, "DATA OVERRUN"},
      {SS_ERR, 0x13, 0, "UNEXPECTED BUS FREE"}, {SS_INVALID_CMD, 0, 0, "INVALID REQUEST"},
      {SS_INVALID_HA, 0, 0, "INVALID HOST ADAPTER"}, {SS_NO_DEVICE, 0, 0, "NO DEVICE"},
      {SS_INVALID_SRB, 0, 0, "INVALID SRB"}, {SS_BUFFER_ALIGN, 0, 0, "BUFFER ALIGNMENT"},
      {SS_ASPI_IS_BUSY, 0, 0, "ASPI IS BUSY"}, {SS_BUFFER_TO_BIG, 0, 0, "BUFFER TOO BIG"}, {0x99, 0, 0, "UNKNOWN"},
  };
  for (const auto& row : rows) {
    g_reply.status = row.status;
    g_reply.hostStatus = row.host;
    g_reply.targetStatus = row.target;
    g_reply.sense.assign(18, 0);
    EXPECT_FALSE(SendRead());
    EXPECT_EQ(device.LastError, row.text) << int(row.status) << "/" << int(row.host) << "/" << int(row.target);
    EXPECT_EQ(device.TargetBusy, row.target == STATUS_BUSY && row.status == SS_ERR);
  }
  // Cleared again by the next good command.
  g_reply = ScriptedReply{};
  EXPECT_TRUE(SendRead());
  EXPECT_TRUE(device.LastError.empty());
  EXPECT_FALSE(device.TargetBusy);
}

TEST_F(ExecuteCommandTest, TraceLineFormat) {
  g_reply.status = SS_ERR;
  g_reply.targetStatus = STATUS_CHKCOND;
  g_reply.sense = FixedSense(0x70, 0x05, 0x24, 0x00);
  Select(1, 0xA, 0);
  std::uint8_t cdb[10] = {0x2A, 0, 0, 0, 0x12, 0x34, 0, 0, 1, 0};
  // Aligned: a buffer at an address that is not a multiple of 4 adds a
  // line of its own, whatever the build's stack layout.
  alignas(8) std::uint8_t data[2] = {0xAB, 0xCD};
  EXPECT_FALSE(device.SendCommand(cdb, 10, SRB_DIR_OUT | SRB_EVENT_NOTIFY, data, 2, 120000));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].first, 0);
  EXPECT_EQ(messages[0].second,
            "<<< WRITE (10)             (2A) {50|0A} - 1:A:0 <04> [00002] 00 00 00 12 34 00 00 01 00 00 00 00 00 00 "
            "00  |AB CD = 00 02 70 05 ASC:24,ASQ:00 ILLEGAL REQUEST (INVALID FIELD IN CDB)");
  // Every failure is traced, the second one too; silenced, none.
  EXPECT_FALSE(device.SendCommand(cdb, 10, SRB_DIR_OUT | SRB_EVENT_NOTIFY, data, 2, 120000));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1], messages[0]);
  device.CommandErrorTraceDone = true;
  EXPECT_FALSE(device.SendCommand(cdb, 10, SRB_DIR_OUT | SRB_EVENT_NOTIFY, data, 2, 120000));
  EXPECT_EQ(messages.size(), 2u);
}

TEST_F(ExecuteCommandTest, QuietCommandsAndLongWriteAreNotTraced) {
  g_reply.status = SS_ERR;
  g_reply.targetStatus = STATUS_CHKCOND;
  g_reply.sense = FixedSense(0x70, 0x02, 0x3A, 0x00);
  std::uint8_t tur[6] = {0x00};
  EXPECT_FALSE(device.SendCommand(tur, 6, SRB_EVENT_NOTIFY, nullptr, 0, 5000));
  EXPECT_TRUE(messages.empty());

  g_reply.sense = FixedSense(0x70, 0x02, 0x04, 0x08);
  EXPECT_FALSE(SendRead());
  EXPECT_TRUE(messages.empty());

  g_reply.sense = FixedSense(0x70, 0x02, 0x04, 0x01);
  EXPECT_FALSE(SendRead());
  EXPECT_EQ(messages.size(), 1u);
}

TEST(AscTableTest, HoldsEveryAssignmentOfTheDataFile) {
  // 764 rows in data/asc_ascq.tsv: a generator that dropped or merged lines
  // would show here.
  EXPECT_EQ(kAscTableSize, 764u);
  EXPECT_STREQ(FindAscText(0x00, 0x00), "NO ADDITIONAL SENSE INFORMATION");
  EXPECT_STREQ(FindAscText(0x04, 0x08), "LOGICAL UNIT NOT READY, LONG WRITE IN PROGRESS");
  EXPECT_STREQ(FindAscText(0x30, 0x05), "CANNOT WRITE MEDIUM - INCOMPATIBLE FORMAT");
  EXPECT_EQ(FindAscText(0xFF, 0xFF), nullptr);
}

TEST(CommandNamesTest, PaddedNamesAndHexDefaults) {
  const auto& names = CommandNames();
  EXPECT_EQ(names[0x00], "TEST UNIT READY       ");
  EXPECT_EQ(names[0x5B], "CLOSE TRACK/SESSION   ");
  EXPECT_EQ(names[0xBF].size(), 22u);
  EXPECT_EQ(names[0x02], "02");
  EXPECT_EQ(names[0xFE], "FE");
  EXPECT_EQ(names[0xFF], "");
}

}  // namespace
}  // namespace velloran::drive
