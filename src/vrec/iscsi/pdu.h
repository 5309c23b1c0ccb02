// iSCSI protocol data units (RFC 7143): the 48-byte basic header segment,
// the additional header segments and the data segment, framed out of a TCP
// byte stream, and the text keys of login and text requests.
//
// Everything here reads bytes from the network: every length a peer gives is
// capped before anything is allocated, and a frame that cannot be parsed is
// reported as such, never read past.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace velloran::vrec::iscsi {

constexpr std::size_t kBhsLength = 48;

// Opcodes, byte 0 bits 0..5.
enum Opcode : std::uint8_t {
  kNopOut = 0x00,
  kScsiCommand = 0x01,
  kTaskManagement = 0x02,
  kLoginRequest = 0x03,
  kTextRequest = 0x04,
  kDataOut = 0x05,
  kLogoutRequest = 0x06,
  kSnack = 0x10,
  kNopIn = 0x20,
  kScsiResponse = 0x21,
  kTaskManagementResponse = 0x22,
  kLoginResponse = 0x23,
  kTextResponse = 0x24,
  kDataIn = 0x25,
  kLogoutResponse = 0x26,
  kR2t = 0x31,
  kAsyncMessage = 0x32,
  kReject = 0x3F,
};

constexpr std::uint8_t kImmediateBit = 0x40;  // byte 0
constexpr std::uint8_t kFinalBit = 0x80;      // byte 1
constexpr std::uint32_t kReservedTag = 0xFFFFFFFF;

struct Pdu {
  std::array<std::uint8_t, kBhsLength> bhs{};
  std::vector<std::uint8_t> ahs;   // as received, TotalAHSLength x 4 bytes
  std::vector<std::uint8_t> data;  // the data segment without its padding

  std::uint8_t opcode() const { return bhs[0] & 0x3F; }
  bool immediate() const { return (bhs[0] & kImmediateBit) != 0; }
  bool final() const { return (bhs[1] & kFinalBit) != 0; }
  std::uint32_t Field32(std::size_t offset) const;
  void SetField32(std::size_t offset, std::uint32_t value);
  std::uint32_t itt() const { return Field32(16); }

  // The whole PDU as it goes on the wire: header, AHS, data padded to a
  // multiple of 4, with the lengths in bytes 4..7 filled in.
  std::vector<std::uint8_t> Encode() const;
};

// Cuts PDUs out of a byte stream. Digests are never negotiated, so none is
// expected.
class PduReader {
 public:
  enum class Result { kNeedMore, kPdu, kError };

  // `maxData`: the largest data segment accepted; a header announcing more
  // is an error (the connection cannot be resynchronised after it).
  explicit PduReader(std::size_t maxData) : maxData_(maxData) {}
  void SetMaxData(std::size_t maxData) { maxData_ = maxData; }

  void Feed(std::span<const std::uint8_t> bytes);
  // The next complete PDU into *out, kNeedMore until one is complete, or
  // kError (with the reason in error()) when the stream is malformed.
  Result Next(Pdu* out);
  const std::string& error() const { return error_; }
  std::size_t Buffered() const { return buffer_.size() - consumed_; }

 private:
  std::size_t maxData_;
  std::vector<std::uint8_t> buffer_;
  std::size_t consumed_ = 0;
  std::string error_;
};

// key=value pairs, each ended by a NUL (RFC 7143 section 6). Keys and values
// are capped at the protocol's lengths (63 and 8191 bytes) and the pair count
// at 256; false when the text breaks those rules.
using TextKeys = std::vector<std::pair<std::string, std::string>>;
bool ParseTextKeys(std::span<const std::uint8_t> text, TextKeys* keys);
std::vector<std::uint8_t> EncodeTextKeys(const TextKeys& keys);

// The length of a SCSI command block from its operation code's group (SPC):
// an initiator always sends 16 bytes.
std::size_t CdbLength(std::uint8_t opcode);

// Serial number arithmetic (RFC 1982, 32 bits): whether a comes before b.
inline bool SerialLess(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b) < 0; }

}  // namespace velloran::vrec::iscsi
