// One TCP connection to the target: login (no authentication or CHAP), then
// the full feature phase (SCSI commands with Data-In, Data-Out and R2T,
// sense, NOP, task management, text, logout). It does no I/O itself: bytes
// received go in with Receive, bytes to send come out of TakeOutput, so the
// protocol runs the same under a socket, a test or a fuzzer.
//
// Commands run one at a time, in the order they arrive; a write command's
// data is collected whole (immediate data, then one R2T per burst) before it
// runs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vrec/iscsi/pdu.h"
#include "vrec/iscsi/target.h"

namespace velloran::vrec::iscsi {

class Connection {
 public:
  Connection(Target& target, std::string peer);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Receive(std::span<const std::uint8_t> bytes);
  std::vector<std::uint8_t> TakeOutput();
  // The connection is over (logout, a protocol error, a refused login, or a
  // session taken over): send what is left, then close it.
  bool Closing() const { return closing_; }
  void Close(const std::string& why);
  const std::string& peer() const { return peer_; }

 private:
  enum class Phase { kLogin, kFullFeature };

  struct WriteTask {
    std::uint32_t itt = 0;
    std::array<std::uint8_t, 8> lun{};
    std::vector<std::uint8_t> cdb;
    std::vector<std::uint8_t> buffer;  // the expected transfer length
    std::uint32_t received = 0;        // contiguous bytes in so far
    std::uint32_t burstEnd = 0;        // the end of the burst the last R2T asked for
    std::uint32_t r2tsn = 0;
    std::uint32_t ttt = 0;
  };

  void Handle(const Pdu& pdu);
  void HandleLogin(const Pdu& pdu);
  void HandleScsiCommand(const Pdu& pdu);
  void HandleDataOut(const Pdu& pdu);
  void HandleNopOut(const Pdu& pdu);
  void HandleTaskManagement(const Pdu& pdu);
  void HandleText(const Pdu& pdu);
  void HandleLogout(const Pdu& pdu);

  // Login: the answer to one key, or nothing for declarative keys.
  std::optional<std::string> Negotiate(const std::string& key, const std::string& value, std::string* failure);
  bool Chap(const TextKeys& keys, TextKeys* reply, std::string* failure);
  void LoginResponse(const Pdu& request, std::uint8_t flags, const TextKeys& keys, std::uint8_t statusClass = 0,
                     std::uint8_t statusDetail = 0);
  void RefuseLogin(const Pdu& request, std::uint8_t statusClass, std::uint8_t statusDetail, const std::string& why);

  void Run(std::uint32_t itt, const std::array<std::uint8_t, 8>& lun, std::span<const std::uint8_t> cdb,
           std::vector<std::uint8_t>& buffer, Direction direction);
  UnitResult RunOnTarget(std::uint64_t lun, std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data,
                         Direction direction);
  void Trace(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> data, Direction direction,
             const UnitResult& result) const;
  void SendR2t();
  void Respond(std::uint32_t itt, const UnitResult& result, std::size_t expected, std::uint32_t dataSn);
  void Reject(const Pdu& pdu, std::uint8_t reason);
  bool NoteCommand(const Pdu& pdu);  // false: outside the CmdSN window, ignored
  void StampSequence(Pdu& pdu, bool advanceStatSn);
  void Send(const Pdu& pdu);

  Target& target_;
  std::string peer_;
  PduReader reader_;
  std::vector<std::uint8_t> output_;
  bool closing_ = false;
  Phase phase_ = Phase::kLogin;

  // Login state.
  bool firstLogin_ = true;
  bool discovery_ = false;
  bool sessionHeld_ = false;
  std::string initiator_;
  std::array<std::uint8_t, 6> isid_{};
  std::uint16_t tsih_ = 0;
  std::vector<std::uint8_t> loginText_;  // a request continued over several PDUs
  bool authenticated_ = false;
  bool chapChosen_ = false;
  std::optional<std::uint8_t> chapId_;
  std::vector<std::uint8_t> chapChallenge_;

  // Negotiated: what the initiator accepts in one PDU, and the bursts.
  std::uint32_t peerMaxRecv_ = 8192;
  std::uint32_t maxBurst_ = 262144;
  std::uint32_t firstBurst_ = 65536;
  bool immediateData_ = true;

  std::uint32_t statSn_ = 1;
  std::uint32_t expCmdSn_ = 0;
  std::uint32_t nextTtt_ = 1;
  std::optional<WriteTask> write_;
};

// The LUN field of a request as a number (SAM single-level addressing).
std::uint64_t DecodeLun(std::span<const std::uint8_t, 8> field);

}  // namespace velloran::vrec::iscsi
