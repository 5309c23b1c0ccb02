// An iSCSI target with one logical unit (LUN 0): the settings it negotiates,
// the unit that runs the SCSI commands, and the rule of one session at a
// time. Connections (connection.h) hold a reference to it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace velloran::vrec::iscsi {

enum class Direction : std::uint8_t { kNone, kIn, kOut };

struct UnitResult {
  std::uint8_t status = 0;           // SCSI status: 00h GOOD, 02h CHECK CONDITION
  std::vector<std::uint8_t> sense;   // with CHECK CONDITION
  std::size_t transferred = 0;       // bytes moved to or from the buffer
};

// What runs the SCSI commands of LUN 0.
class LogicalUnit {
 public:
  virtual ~LogicalUnit() = default;
  // `data` is the transfer buffer, as long as the initiator's expected
  // transfer length; `direction` says which way it moves.
  virtual UnitResult Execute(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data, Direction direction) = 0;
  // The initiator's session ended, or a reset: what belongs to the I_T
  // nexus goes (a PREVENT MEDIUM REMOVAL lock).
  virtual void Reset() = 0;
};

struct TargetConfig {
  std::string name = "iqn.2026-12.org.velloran:recorder0";
  std::string address = "127.0.0.1:3260";  // as SendTargets reports it
  // CHAP (algorithm 5, MD5) is required when a user is set.
  std::string chapUser;
  std::string chapSecret;
  // What this target accepts in one data segment, and the bursts it offers.
  std::uint32_t maxRecvDataSegmentLength = 262144;
  std::uint32_t maxBurstLength = 262144;
  std::uint32_t firstBurstLength = 65536;
  // Commands the initiator may have outstanding (MaxCmdSN - ExpCmdSN + 1).
  std::uint32_t queueDepth = 16;
  // The largest transfer one command may ask for; beyond it the command is
  // refused before anything is allocated.
  std::uint32_t maxTransferLength = 16u << 20;
  // Logs every command block with its outcome (for finding out what a
  // burner sent before it gave up).
  bool trace = false;
};

class Connection;

class Target {
 public:
  using Log = std::function<void(const std::string&)>;
  Target(TargetConfig config, LogicalUnit& unit, Log log);

  const TargetConfig& config() const { return config_; }
  // The address SendTargets reports, known once the socket is bound.
  void SetAddress(std::string address) { config_.address = std::move(address); }
  LogicalUnit& unit() { return unit_; }
  void Say(const std::string& line) const;

  // A normal session for `initiator` with `isid` on `connection`. With a
  // session open already, the same initiator and ISID take it over (session
  // reinstatement: the old connection is told to close); anyone else is
  // refused, with the holder's name in *holder.
  bool OpenSession(Connection* connection, const std::string& initiator, const std::array<std::uint8_t, 6>& isid,
                   std::string* holder);
  void CloseSession(Connection* connection);
  bool SessionOpen() const { return holder_ != nullptr; }
  std::uint16_t NextTsih();

 private:
  TargetConfig config_;
  LogicalUnit& unit_;
  Log log_;
  Connection* holder_ = nullptr;
  std::string holderName_;
  std::array<std::uint8_t, 6> holderIsid_{};
  std::uint16_t tsih_ = 0;
};

}  // namespace velloran::vrec::iscsi
