// Command descriptor blocks of the Multi-Media Commands the drive class
// sends. Each builder is a pure function: it fills the CDB bytes, the length
// the request announces, the request flags (direction, always with event
// notify) and the time-out the command is given. The caller supplies the
// data buffer and its length.
#pragma once

#include <array>
#include <cstdint>

namespace velloran::drive::mmc {

// Request flags: data in, data out or no data, each with event notify.
inline constexpr std::uint8_t kFlagsIn = 0x48;
inline constexpr std::uint8_t kFlagsOut = 0x50;
inline constexpr std::uint8_t kFlagsNone = 0x40;

struct Command {
  std::array<std::uint8_t, 16> cdb{};
  std::uint8_t cdbLength = 0;
  std::uint8_t flags = kFlagsNone;
  std::uint32_t timeoutMs = 10000;
};

// Opcodes.
enum Opcode : std::uint8_t {
  kTestUnitReady = 0x00,
  kRezeroUnit = 0x01,
  kRequestSense = 0x03,
  kFormatUnit = 0x04,
  kInquiry = 0x12,
  kStartStopUnit = 0x1B,
  kPreventAllowRemoval = 0x1E,
  kReadFormatCapacities = 0x23,
  kReadCapacity = 0x25,
  kRead10 = 0x28,
  kWrite10 = 0x2A,
  kSynchronizeCache = 0x35,
  kReadToc = 0x43,
  kGetConfiguration = 0x46,
  kReadDiscInformation = 0x51,
  kReadTrackInformation = 0x52,
  kReserveTrack = 0x53,
  kSendOpcInformation = 0x54,
  kModeSelect10 = 0x55,
  kModeSense10 = 0x5A,
  kCloseTrackSession = 0x5B,
  kReadBufferCapacity = 0x5C,
  kSendCueSheet = 0x5D,
  kSetStreaming = 0xB6,
  kSetCdSpeed = 0xBB,
  kSendDvdStructure = 0xBF,
};

// Fixed reply lengths the drive class asks for.
inline constexpr std::uint8_t kInquiryLength = 128;
inline constexpr std::uint8_t kFormatCapacitiesLength = 248;
inline constexpr std::uint8_t kReadCapacityLength = 8;
inline constexpr std::uint8_t kTrackInfoLength = 40;
inline constexpr std::uint8_t kBufferCapacityLength = 32;

Command TestUnitReady(std::uint32_t timeoutMs);
Command RezeroUnit();
Command RequestSense(std::uint8_t length);
Command FormatUnit(std::uint8_t flags);
Command Inquiry();
Command StartStopUnit(bool eject);
Command PreventAllowRemoval(bool allow);
Command ReadFormatCapacities();
Command ReadCapacity();
Command Read10(std::uint32_t lba, std::uint16_t count);
Command Write10(std::uint32_t lba, std::uint16_t count, std::uint8_t flags);
Command SynchronizeCache(std::uint32_t timeoutMs, bool immed);
// length must be at most 255 (the caller rejects larger requests).
Command ReadToc(std::uint8_t format, std::uint8_t control, bool msf, std::uint8_t track, std::uint8_t length);
Command GetConfiguration(std::uint8_t rt, std::uint16_t feature, std::uint16_t length);
Command ReadDiscInformation(std::uint16_t length);
// Track number 255 asks for the invisible (incomplete) track.
Command ReadTrackInformation(std::uint32_t track);
// A 10-byte command announced with a 12-byte CDB length: drives of the
// family this was tuned on accept it that way and some reject 10.
Command ReserveTrack(std::uint32_t blocks);
Command SendOpcInformation();
Command ModeSelect10(std::uint16_t length);
Command ModeSense10(std::uint8_t page, bool defaults, std::uint16_t length);
// finalize wins over track: it sends close function 5 (close the session
// and finalize the disc).
Command CloseTrackSession(bool track, bool immed, bool finalize);
Command CloseTrackSessionRaw(bool immed, std::uint8_t function, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5);
Command ReadBufferCapacity();
Command SendCueSheet(std::uint16_t length);
Command SetStreaming(std::uint16_t length);
// Speeds in kB/s; 0 asks for the drive's maximum (sent as FFFFh).
Command SetCdSpeed(std::uint16_t readSpeed, std::uint16_t writeSpeed);
Command SendDvdStructure(std::uint8_t format, std::uint16_t length);

}  // namespace velloran::drive::mmc
