// Sense data of the emulated drives: one value type, built and encoded here
// only (fixed format, response code 70h, 18 bytes).
#pragma once

#include <array>
#include <cstdint>

namespace velloran::vrec {

// Sense keys.
enum SenseKey : std::uint8_t {
  kNoSense = 0x0,
  kRecoveredError = 0x1,
  kNotReady = 0x2,
  kMediumError = 0x3,
  kHardwareError = 0x4,
  kIllegalRequest = 0x5,
  kUnitAttention = 0x6,
  kDataProtect = 0x7,
  kBlankCheck = 0x8,
  kAbortedCommand = 0xB,
};

inline constexpr std::size_t kSenseLength = 18;

struct Sense {
  std::uint8_t key = kNoSense;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
  bool infoValid = false;     // INFORMATION holds e.g. the failing LBA
  std::uint32_t information = 0;
  // Sense-key specific bytes 15-17: a field pointer for ILLEGAL REQUEST, or
  // the progress of a long operation (0..65535) for NOT READY / NO SENSE.
  bool sksv = false;
  bool inCdb = true;          // C/D: error in the CDB (true) or the parameter list
  std::uint16_t field = 0;    // field pointer or progress
  std::uint8_t bitPointer = 0xFF;  // 0..7 when a bit is named, else none

  bool Ok() const { return key == kNoSense && asc == 0 && ascq == 0; }
  std::array<std::uint8_t, kSenseLength> Encode() const;

  static Sense Make(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    Sense s;
    s.key = key;
    s.asc = asc;
    s.ascq = ascq;
    return s;
  }
  // ILLEGAL REQUEST 24/00 naming the CDB byte that is wrong.
  static Sense InvalidCdbField(std::uint16_t byte, std::uint8_t bit = 0xFF);
  // ILLEGAL REQUEST 26/00 naming the parameter-list byte that is wrong.
  static Sense InvalidParameter(std::uint16_t byte, std::uint8_t bit = 0xFF);
  // NOT READY 04/xx with progress (fraction done x 65536).
  static Sense Progress(std::uint8_t ascq, std::uint16_t progress);
  // MEDIUM ERROR etc. naming a block address.
  static Sense AtAddress(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::uint32_t lba);
};

// The sense conditions the drives report, named once.
namespace sense {
inline Sense NoMedium() { return Sense::Make(kNotReady, 0x3A, 0x00); }
inline Sense TrayOpen() { return Sense::Make(kNotReady, 0x3A, 0x02); }
inline Sense BecomingReady() { return Sense::Make(kNotReady, 0x04, 0x01); }
inline Sense MediumChanged() { return Sense::Make(kUnitAttention, 0x28, 0x00); }
inline Sense InvalidOpcode() { return Sense::Make(kIllegalRequest, 0x20, 0x00); }
inline Sense LbaOutOfRange() { return Sense::Make(kIllegalRequest, 0x21, 0x00); }
inline Sense InvalidWriteAddress() { return Sense::Make(kIllegalRequest, 0x21, 0x02); }
inline Sense ParameterListLength() { return Sense::Make(kIllegalRequest, 0x1A, 0x00); }
inline Sense SequenceError() { return Sense::Make(kIllegalRequest, 0x2C, 0x00); }
inline Sense SavingNotSupported() { return Sense::Make(kIllegalRequest, 0x39, 0x00); }
inline Sense ReadOnlyMedium() { return Sense::Make(kIllegalRequest, 0x30, 0x05); }
inline Sense CannotFormat() { return Sense::Make(kIllegalRequest, 0x30, 0x06); }
inline Sense NotFormatted() { return Sense::Make(kIllegalRequest, 0x30, 0x10); }
inline Sense RemovalPrevented() { return Sense::Make(kIllegalRequest, 0x53, 0x02); }
inline Sense EndOfUserArea() { return Sense::Make(kIllegalRequest, 0x63, 0x00); }
inline Sense IllegalTrackMode() { return Sense::Make(kIllegalRequest, 0x64, 0x00); }
inline Sense NoMoreReservations() { return Sense::Make(kIllegalRequest, 0x72, 0x05); }
inline Sense PowerCalibration() { return Sense::Make(kMediumError, 0x73, 0x03); }
inline Sense UnrecoveredRead(std::uint32_t lba) { return Sense::AtAddress(kMediumError, 0x11, 0x05, lba); }
inline Sense LossOfStreaming(std::uint32_t lba) { return Sense::AtAddress(kMediumError, 0x0C, 0x09, lba); }
}  // namespace sense

}  // namespace velloran::vrec
