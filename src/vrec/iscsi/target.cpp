#include "vrec/iscsi/target.h"

#include <utility>

#include "vrec/iscsi/connection.h"

namespace velloran::vrec::iscsi {

Target::Target(TargetConfig config, LogicalUnit& unit, Log log)
    : config_(std::move(config)), unit_(unit), log_(std::move(log)) {}

void Target::Say(const std::string& line) const {
  if (log_) log_(line);
}

bool Target::OpenSession(Connection* connection, const std::string& initiator,
                         const std::array<std::uint8_t, 6>& isid, std::string* holder) {
  if (holder_ && holder_ != connection) {
    if (holderName_ != initiator || holderIsid_ != isid) {
      if (holder) *holder = holderName_;
      return false;
    }
    // The same initiator logs in again with the same ISID: its earlier
    // connection is dead to it (RFC 7143 session reinstatement).
    Connection* old = holder_;
    CloseSession(old);
    old->Close("the initiator started the session again");
  }
  holder_ = connection;
  holderName_ = initiator;
  holderIsid_ = isid;
  return true;
}

void Target::CloseSession(Connection* connection) {
  if (holder_ != connection) return;
  holder_ = nullptr;
  holderName_.clear();
  // SPC: a PREVENT MEDIUM REMOVAL belongs to the I_T nexus that sent it.
  unit_.Reset();
}

std::uint16_t Target::NextTsih() {
  if (++tsih_ == 0) tsih_ = 1;
  return tsih_;
}

}  // namespace velloran::vrec::iscsi
