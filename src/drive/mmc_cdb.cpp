#include "drive/mmc_cdb.h"

#include "drive/byte_order.h"

namespace velloran::drive::mmc {
namespace {

Command Make(std::uint8_t opcode, std::uint8_t cdbLength, std::uint8_t flags, std::uint32_t timeoutMs) {
  Command c;
  c.cdb[0] = opcode;
  c.cdbLength = cdbLength;
  c.flags = flags;
  c.timeoutMs = timeoutMs;
  return c;
}

}  // namespace

Command TestUnitReady(std::uint32_t timeoutMs) { return Make(kTestUnitReady, 6, kFlagsNone, timeoutMs); }

Command RezeroUnit() { return Make(kRezeroUnit, 6, kFlagsNone, 10000); }

Command RequestSense(std::uint8_t length) {
  Command c = Make(kRequestSense, 6, kFlagsIn, 10000);
  c.cdb[4] = length;
  return c;
}

Command FormatUnit(std::uint8_t flags) {
  Command c = Make(kFormatUnit, 6, kFlagsOut, 10000);
  c.cdb[1] = flags;
  return c;
}

Command Inquiry() {
  Command c = Make(kInquiry, 6, kFlagsIn, 10000);
  c.cdb[4] = kInquiryLength;
  return c;
}

Command StartStopUnit(bool eject) {
  Command c = Make(kStartStopUnit, 6, kFlagsNone, 20000);
  c.cdb[4] = eject ? 2 : 3;  // LoEj with Start clear (eject) or set (load)
  return c;
}

Command PreventAllowRemoval(bool allow) {
  Command c = Make(kPreventAllowRemoval, 6, kFlagsNone, 10000);
  c.cdb[4] = allow ? 0 : 1;
  return c;
}

Command ReadFormatCapacities() {
  Command c = Make(kReadFormatCapacities, 10, kFlagsIn, 10000);
  c.cdb[8] = kFormatCapacitiesLength;
  return c;
}

Command ReadCapacity() { return Make(kReadCapacity, 10, kFlagsIn, 10000); }

Command Read10(std::uint32_t lba, std::uint16_t count) {
  Command c = Make(kRead10, 10, kFlagsIn, 10000);
  be::store32(&c.cdb[2], lba);
  be::store16(&c.cdb[7], count);
  return c;
}

Command Write10(std::uint32_t lba, std::uint16_t count, std::uint8_t flags) {
  Command c = Make(kWrite10, 10, flags, 120000);
  be::store32(&c.cdb[2], lba);
  be::store16(&c.cdb[7], count);
  return c;
}

Command SynchronizeCache(std::uint32_t timeoutMs, bool immed) {
  Command c = Make(kSynchronizeCache, 10, kFlagsNone, timeoutMs);
  c.cdb[1] = immed ? 2 : 0;
  return c;
}

Command ReadToc(std::uint8_t format, std::uint8_t control, bool msf, std::uint8_t track, std::uint8_t length) {
  Command c = Make(kReadToc, 10, kFlagsIn, 10000);
  c.cdb[1] = msf ? 2 : 0;
  c.cdb[2] = format;
  c.cdb[6] = track;
  c.cdb[8] = length;
  c.cdb[9] = control;
  return c;
}

Command GetConfiguration(std::uint8_t rt, std::uint16_t feature, std::uint16_t length) {
  Command c = Make(kGetConfiguration, 10, kFlagsIn, 30000);
  c.cdb[1] = rt;
  be::store16(&c.cdb[2], feature);
  be::store16(&c.cdb[7], length);
  return c;
}

Command ReadDiscInformation(std::uint16_t length) {
  Command c = Make(kReadDiscInformation, 10, kFlagsIn, 10000);
  be::store16(&c.cdb[7], length);
  return c;
}

Command ReadTrackInformation(std::uint32_t track) {
  Command c = Make(kReadTrackInformation, 10, kFlagsIn, 60000);
  c.cdb[1] = 1;  // address by track number
  be::store32(&c.cdb[2], track);
  c.cdb[8] = kTrackInfoLength;
  return c;
}

Command ReserveTrack(std::uint32_t blocks) {
  Command c = Make(kReserveTrack, 12, kFlagsNone, 10000);
  be::store32(&c.cdb[5], blocks);
  return c;
}

Command SendOpcInformation() {
  Command c = Make(kSendOpcInformation, 10, kFlagsNone, 150000);
  c.cdb[1] = 1;  // DoOpc
  return c;
}

Command ModeSelect10(std::uint16_t length) {
  Command c = Make(kModeSelect10, 10, kFlagsOut, 10000);
  c.cdb[1] = 0x10;  // PF: the list holds MMC pages
  be::store16(&c.cdb[7], length);
  return c;
}

Command ModeSense10(std::uint8_t page, bool defaults, std::uint16_t length) {
  Command c = Make(kModeSense10, 10, kFlagsIn, 20000);
  c.cdb[2] = static_cast<std::uint8_t>((page & 0x3F) | (defaults ? 0x80 : 0x00));
  be::store16(&c.cdb[7], length);
  return c;
}

Command CloseTrackSession(bool track, bool immed, bool finalize) {
  Command c = Make(kCloseTrackSession, 10, kFlagsNone, 180000);
  c.cdb[1] = immed ? 1 : 0;
  c.cdb[2] = finalize ? 5 : (track ? 1 : 2);
  c.cdb[5] = track ? 0xFF : 0x00;
  return c;
}

Command CloseTrackSessionRaw(bool immed, std::uint8_t function, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5) {
  Command c = Make(kCloseTrackSession, 10, kFlagsNone, 180000);
  c.cdb[1] = immed ? 1 : 0;
  c.cdb[2] = function;
  c.cdb[3] = b3;
  c.cdb[4] = b4;
  c.cdb[5] = b5;
  return c;
}

Command ReadBufferCapacity() {
  Command c = Make(kReadBufferCapacity, 10, kFlagsIn, 10000);
  c.cdb[8] = kBufferCapacityLength;
  return c;
}

Command SendCueSheet(std::uint16_t length) {
  Command c = Make(kSendCueSheet, 10, kFlagsOut, 30000);
  c.cdb[6] = 0;
  be::store16(&c.cdb[7], length);
  return c;
}

Command SetStreaming(std::uint16_t length) {
  Command c = Make(kSetStreaming, 12, kFlagsOut, 10000);
  be::store16(&c.cdb[9], length);
  return c;
}

Command SetCdSpeed(std::uint16_t readSpeed, std::uint16_t writeSpeed) {
  Command c = Make(kSetCdSpeed, 12, kFlagsNone, 10000);
  be::store16(&c.cdb[2], readSpeed == 0 ? 0xFFFF : readSpeed);
  be::store16(&c.cdb[4], writeSpeed == 0 ? 0xFFFF : writeSpeed);
  return c;
}

Command SendDvdStructure(std::uint8_t format, std::uint16_t length) {
  Command c = Make(kSendDvdStructure, 12, kFlagsOut, 10000);
  c.cdb[7] = format;
  be::store16(&c.cdb[8], length);
  return c;
}

}  // namespace velloran::drive::mmc
