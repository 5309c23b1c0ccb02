// CDB bytes, announced lengths, directions and time-outs of every command.
#include "drive/mmc_cdb.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velloran::drive::mmc {
namespace {

struct Row {
  const char* name;
  Command cmd;
  std::vector<std::uint8_t> cdb;  // the bytes that must be set; the rest of the 16 must be 0
  std::uint8_t cdbLength;
  std::uint8_t flags;
  std::uint32_t timeoutMs;
};

std::vector<Row> Rows() {
  return {
      {"TestUnitReady", TestUnitReady(5000), {0x00}, 6, kFlagsNone, 5000},
      {"RezeroUnit", RezeroUnit(), {0x01}, 6, kFlagsNone, 10000},
      {"RequestSense", RequestSense(40), {0x03, 0, 0, 0, 40}, 6, kFlagsIn, 10000},
      {"FormatUnit", FormatUnit(0x11), {0x04, 0x11}, 6, kFlagsOut, 10000},
      {"Inquiry", Inquiry(), {0x12, 0, 0, 0, 128}, 6, kFlagsIn, 10000},
      {"Eject", StartStopUnit(true), {0x1B, 0, 0, 0, 2}, 6, kFlagsNone, 20000},
      {"Load", StartStopUnit(false), {0x1B, 0, 0, 0, 3}, 6, kFlagsNone, 20000},
      {"Prevent", PreventAllowRemoval(false), {0x1E, 0, 0, 0, 1}, 6, kFlagsNone, 10000},
      {"Allow", PreventAllowRemoval(true), {0x1E}, 6, kFlagsNone, 10000},
      {"ReadFormatCapacities", ReadFormatCapacities(), {0x23, 0, 0, 0, 0, 0, 0, 0, 248}, 10, kFlagsIn, 10000},
      {"ReadCapacity", ReadCapacity(), {0x25}, 10, kFlagsIn, 10000},
      {"Read10", Read10(0x01020304, 0x0506), {0x28, 0, 1, 2, 3, 4, 0, 5, 6}, 10, kFlagsIn, 10000},
      {"Write10", Write10(0xA1B2C3D4, 32, 0x50), {0x2A, 0, 0xA1, 0xB2, 0xC3, 0xD4, 0, 0, 32}, 10, 0x50, 120000},
      {"SyncImmed", SynchronizeCache(1800000, true), {0x35, 2}, 10, kFlagsNone, 1800000},
      {"Sync", SynchronizeCache(60000, false), {0x35}, 10, kFlagsNone, 60000},
      {"ReadTocAtip", ReadToc(4, 0, true, 0, 26), {0x43, 2, 4, 0, 0, 0, 0, 0, 26}, 10, kFlagsIn, 10000},
      {"ReadTocTrack", ReadToc(0, 0x40, false, 7, 114), {0x43, 0, 0, 0, 0, 0, 7, 0, 114, 0x40}, 10, kFlagsIn, 10000},
      {"GetConfiguration", GetConfiguration(2, 0x2A, 114), {0x46, 2, 0, 0x2A, 0, 0, 0, 0, 114}, 10, kFlagsIn, 30000},
      {"ReadDiscInformation", ReadDiscInformation(56), {0x51, 0, 0, 0, 0, 0, 0, 0, 56}, 10, kFlagsIn, 10000},
      {"ReadTrackInfo", ReadTrackInformation(255), {0x52, 1, 0, 0, 0, 255, 0, 0, 40}, 10, kFlagsIn, 60000},
      // 10-byte layout, announced as a 12-byte CDB.
      {"ReserveTrack", ReserveTrack(0x00123456), {0x53, 0, 0, 0, 0, 0x00, 0x12, 0x34, 0x56}, 12, kFlagsNone, 10000},
      {"SendOpc", SendOpcInformation(), {0x54, 1}, 10, kFlagsNone, 150000},
      {"ModeSelect", ModeSelect10(60), {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60}, 10, kFlagsOut, 10000},
      {"ModeSenseDefaults", ModeSense10(0x2A, true, 255), {0x5A, 0, 0xAA, 0, 0, 0, 0, 0, 255}, 10, kFlagsIn, 20000},
      {"ModeSenseCurrent", ModeSense10(0x05, false, 512), {0x5A, 0, 0x05, 0, 0, 0, 0, 2, 0}, 10, kFlagsIn, 20000},
      {"CloseTrack", CloseTrackSession(true, true, false), {0x5B, 1, 1, 0, 0, 0xFF}, 10, kFlagsNone, 180000},
      {"CloseSession", CloseTrackSession(false, false, false), {0x5B, 0, 2}, 10, kFlagsNone, 180000},
      // Finalize wins over the track flag: close function 5, no track number.
      {"FinalizeTrack", CloseTrackSession(true, true, true), {0x5B, 1, 5, 0, 0, 0xFF}, 10, kFlagsNone, 180000},
      {"FinalizeSession", CloseTrackSession(false, false, true), {0x5B, 0, 5}, 10, kFlagsNone, 180000},
      {"CloseRaw", CloseTrackSessionRaw(true, 6, 7, 8, 9), {0x5B, 1, 6, 7, 8, 9}, 10, kFlagsNone, 180000},
      {"ReadBufferCapacity", ReadBufferCapacity(), {0x5C, 0, 0, 0, 0, 0, 0, 0, 32}, 10, kFlagsIn, 10000},
      {"SendCueSheet", SendCueSheet(0x0123), {0x5D, 0, 0, 0, 0, 0, 0, 0x01, 0x23}, 10, kFlagsOut, 30000},
      {"SetStreaming", SetStreaming(28), {0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 28}, 12, kFlagsOut, 10000},
      {"SetCdSpeedMax", SetCdSpeed(0, 0), {0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF}, 12, kFlagsNone, 10000},
      {"SetCdSpeed", SetCdSpeed(7056, 4234), {0xBB, 0, 0x1B, 0x90, 0x10, 0x8A}, 12, kFlagsNone, 10000},
      {"SendDvdStructure", SendDvdStructure(0x0F, 22), {0xBF, 0, 0, 0, 0, 0, 0, 0x0F, 0, 22}, 12, kFlagsOut, 10000},
  };
}

TEST(MmcCdb, EveryCommandHasItsBytesLengthDirectionAndTimeout) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    std::array<std::uint8_t, 16> expected{};
    std::copy(row.cdb.begin(), row.cdb.end(), expected.begin());
    EXPECT_EQ(row.cmd.cdb, expected);
    EXPECT_EQ(row.cmd.cdbLength, row.cdbLength);
    EXPECT_EQ(row.cmd.flags, row.flags);
    EXPECT_EQ(row.cmd.timeoutMs, row.timeoutMs);
  }
}

TEST(MmcCdb, SetCdSpeedSendsMaximumForEachZeroSeparately) {
  EXPECT_EQ(SetCdSpeed(0, 1411).cdb[2], 0xFF);
  EXPECT_EQ(SetCdSpeed(0, 1411).cdb[4], 0x05);
  EXPECT_EQ(SetCdSpeed(706, 0).cdb[3], 0xC2);
  EXPECT_EQ(SetCdSpeed(706, 0).cdb[5], 0xFF);
}

}  // namespace
}  // namespace velloran::drive::mmc
