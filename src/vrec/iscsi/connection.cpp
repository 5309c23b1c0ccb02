#include "vrec/iscsi/connection.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>

#include "drive/byte_order.h"
#include "vrec/iscsi/md5.h"

namespace velloran::vrec::iscsi {
namespace {

// Login request and response, byte 1.
constexpr std::uint8_t kTransit = 0x80;
constexpr std::uint8_t kContinue = 0x40;
constexpr int kSecurityStage = 0;
constexpr int kOperationalStage = 1;
constexpr int kFullFeatureStage = 3;

// SCSI command, byte 1.
constexpr std::uint8_t kRead = 0x40;
constexpr std::uint8_t kWrite = 0x20;
// Residual flags of SCSI Response and Data-In, byte 1.
constexpr std::uint8_t kUnderflow = 0x02;
constexpr std::uint8_t kOverflow = 0x04;
constexpr std::uint8_t kStatusBit = 0x01;  // Data-In carries the status

// Login status (class, detail).
constexpr std::uint8_t kInitiatorError = 0x02;
constexpr std::uint8_t kTargetError = 0x03;
constexpr std::uint8_t kAuthFailure = 0x01;
constexpr std::uint8_t kTargetNotFound = 0x03;
constexpr std::uint8_t kMissingParameter = 0x07;
constexpr std::uint8_t kSessionTypeNotSupported = 0x09;
constexpr std::uint8_t kOutOfResources = 0x02;

// Reject reasons.
constexpr std::uint8_t kReasonProtocolError = 0x04;
constexpr std::uint8_t kReasonNotSupported = 0x05;
constexpr std::uint8_t kReasonInvalidField = 0x09;

// Task management functions and responses.
constexpr std::uint8_t kAbortTask = 1;
constexpr std::uint8_t kLunReset = 5;
constexpr std::uint8_t kTargetWarmReset = 6;
constexpr std::uint8_t kTargetColdReset = 7;
constexpr std::uint8_t kTaskReassign = 8;
constexpr std::uint8_t kFunctionComplete = 0;
constexpr std::uint8_t kFunctionNotSupported = 5;

constexpr std::uint8_t kCheckCondition = 0x02;

// Fixed-format sense data, 18 bytes, as a drive returns it.
std::vector<std::uint8_t> Sense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  std::vector<std::uint8_t> s(18, 0);
  s[0] = 0x70;
  s[2] = key;
  s[7] = 10;
  s[12] = asc;
  s[13] = ascq;
  return s;
}

UnitResult Check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  return {kCheckCondition, Sense(key, asc, ascq), 0};
}

bool InList(const std::string& list, const std::string& word) {
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    if (list.compare(start, comma - start, word) == 0) return true;
    start = comma + 1;
  }
  return false;
}

// A negotiated number: decimal, or 0x hex (RFC 7143 section 6.1).
std::optional<std::uint64_t> Number(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::uint64_t v = 0;
  std::size_t i = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) base = 16, i = 2;
  for (; i < text.size(); ++i) {
    const int c = std::tolower(static_cast<unsigned char>(text[i]));
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else
      return std::nullopt;
    v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  return v;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string s = "0x";
  char b[3];
  for (std::uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02x", v);
    s += b;
  }
  return s;
}

// CHAP values are hex (0x...) or base64 (0b...); initiators send hex.
std::optional<std::vector<std::uint8_t>> FromHex(const std::string& text) {
  if (text.size() < 4 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') || text.size() % 2) return std::nullopt;
  std::vector<std::uint8_t> out;
  for (std::size_t i = 2; i < text.size(); i += 2) {
    auto hi = Number("0x" + text.substr(i, 2));
    if (!hi) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(*hi));
  }
  return out;
}

std::string Decimal(std::uint64_t v) { return std::to_string(v); }

std::uint32_t Random32() {
  static std::mt19937 rng{std::random_device{}()};
  return rng();
}

}  // namespace

std::uint64_t DecodeLun(std::span<const std::uint8_t, 8> f) {
  switch (f[0] >> 6) {
    case 0: return f[1];                                       // peripheral device addressing
    case 1: return (static_cast<std::uint64_t>(f[0] & 0x3F) << 8) | f[1];  // flat space
    default: return 0xFFFF;                                    // nothing this target has
  }
}

Connection::Connection(Target& target, std::string peer)
    : target_(target), peer_(std::move(peer)), reader_(8192) {
  // Until the operational stage says otherwise, login PDUs carry at most
  // 8192 bytes (RFC 7143 MaxRecvDataSegmentLength default).
}

Connection::~Connection() {
  if (sessionHeld_) target_.CloseSession(this);
}

void Connection::Close(const std::string& why) {
  if (closing_) return;
  closing_ = true;
  if (sessionHeld_) {
    target_.CloseSession(this);
    sessionHeld_ = false;
  }
  target_.Say(peer_ + ": closing the connection: " + why);
}

void Connection::Receive(std::span<const std::uint8_t> bytes) {
  if (closing_) return;
  reader_.Feed(bytes);
  Pdu pdu;
  while (!closing_) {
    const auto r = reader_.Next(&pdu);
    if (r == PduReader::Result::kNeedMore) break;
    if (r == PduReader::Result::kError) {
      Close("malformed PDU: " + reader_.error());
      break;
    }
    Handle(pdu);
  }
}

std::vector<std::uint8_t> Connection::TakeOutput() { return std::exchange(output_, {}); }

void Connection::Send(const Pdu& pdu) {
  const auto bytes = pdu.Encode();
  output_.insert(output_.end(), bytes.begin(), bytes.end());
}

void Connection::StampSequence(Pdu& pdu, bool advanceStatSn) {
  pdu.SetField32(24, statSn_);
  pdu.SetField32(28, expCmdSn_);
  pdu.SetField32(32, expCmdSn_ + target_.config().queueDepth - 1);
  if (advanceStatSn) ++statSn_;
}

bool Connection::NoteCommand(const Pdu& pdu) {
  if (pdu.immediate()) return true;
  // RFC 7143 4.2.2.1: a non-immediate command outside the window the target
  // gave (ExpCmdSN .. MaxCmdSN) is ignored without an answer. Commands come
  // in order on one connection; one ahead of the expected number (an
  // initiator that skipped numbers) moves the window along.
  const std::uint32_t cmdSn = pdu.Field32(24);
  const std::uint32_t maxCmdSn = expCmdSn_ + target_.config().queueDepth - 1;
  if (SerialLess(cmdSn, expCmdSn_) || SerialLess(maxCmdSn, cmdSn)) {
    target_.Say(peer_ + ": ignored a command numbered " + std::to_string(cmdSn) + " outside the window " +
                std::to_string(expCmdSn_) + ".." + std::to_string(maxCmdSn));
    return false;
  }
  expCmdSn_ = cmdSn + 1;
  return true;
}

void Connection::Reject(const Pdu& pdu, std::uint8_t reason) {
  Pdu r;
  r.bhs[0] = kReject;
  r.bhs[1] = kFinalBit;
  r.bhs[2] = reason;
  r.SetField32(16, kReservedTag);
  StampSequence(r, true);
  r.data.assign(pdu.bhs.begin(), pdu.bhs.end());
  Send(r);
}

void Connection::Handle(const Pdu& pdu) {
  if (phase_ == Phase::kLogin) {
    if (pdu.opcode() != kLoginRequest) return Close("a PDU other than login before the login completed");
    return HandleLogin(pdu);
  }
  switch (pdu.opcode()) {
    case kScsiCommand: return HandleScsiCommand(pdu);
    case kDataOut: return HandleDataOut(pdu);
    case kNopOut: return HandleNopOut(pdu);
    case kTaskManagement: return HandleTaskManagement(pdu);
    case kTextRequest: return HandleText(pdu);
    case kLogoutRequest: return HandleLogout(pdu);
    case kLoginRequest:
      Reject(pdu, kReasonProtocolError);
      return Close("a login request in the full feature phase");
    case kSnack:  // error recovery level 0: nothing to resend from
      return Reject(pdu, kReasonProtocolError);
    default: return Reject(pdu, kReasonNotSupported);
  }
}

// --- Login ------------------------------------------------------------------

void Connection::LoginResponse(const Pdu& request, std::uint8_t flags, const TextKeys& keys,
                               std::uint8_t statusClass, std::uint8_t statusDetail) {
  Pdu r;
  r.bhs[0] = kLoginResponse;
  r.bhs[1] = flags;
  r.bhs[2] = 0x00;  // version max
  r.bhs[3] = 0x00;  // version active
  std::copy(isid_.begin(), isid_.end(), r.bhs.begin() + 8);
  be::store16(&r.bhs[14], tsih_);
  r.SetField32(16, request.itt());
  StampSequence(r, true);
  r.bhs[36] = statusClass;
  r.bhs[37] = statusDetail;
  r.data = EncodeTextKeys(keys);
  Send(r);
}

void Connection::RefuseLogin(const Pdu& request, std::uint8_t statusClass, std::uint8_t statusDetail,
                             const std::string& why) {
  target_.Say(peer_ + ": login refused: " + why);
  LoginResponse(request, 0, {}, statusClass, statusDetail);
  closing_ = true;
}

std::optional<std::string> Connection::Negotiate(const std::string& key, const std::string& value,
                                                 std::string* failure) {
  const TargetConfig& c = target_.config();
  auto number = [&](std::uint64_t lo, std::uint64_t hi) -> std::optional<std::uint64_t> {
    auto n = Number(value);
    if (!n || *n < lo || *n > hi) {
      *failure = "bad value " + key + "=" + value;
      return std::nullopt;
    }
    return n;
  };
  if (key == "InitiatorName" || key == "InitiatorAlias" || key == "TargetName" || key == "SessionType" ||
      key == "TargetAlias" || key == "TargetPortalGroupTag")
    return std::nullopt;  // declarative, or read by the caller
  if (key == "HeaderDigest" || key == "DataDigest") return InList(value, "None") ? "None" : "Reject";
  if (key == "MaxConnections") return number(1, 65535) ? std::optional<std::string>("1") : std::nullopt;
  // Yes if either side says Yes: data goes only where an R2T asks for it.
  if (key == "InitialR2T") return "Yes";
  if (key == "ImmediateData") {
    immediateData_ = value == "Yes";
    return immediateData_ ? "Yes" : "No";
  }
  if (key == "MaxRecvDataSegmentLength") {
    auto n = number(512, 16777215);
    if (!n) return std::nullopt;
    peerMaxRecv_ = static_cast<std::uint32_t>(*n);
    return Decimal(c.maxRecvDataSegmentLength);
  }
  if (key == "MaxBurstLength") {
    auto n = number(512, 16777215);
    if (!n) return std::nullopt;
    maxBurst_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(*n, c.maxBurstLength));
    firstBurst_ = std::min(firstBurst_, maxBurst_);
    return Decimal(maxBurst_);
  }
  if (key == "FirstBurstLength") {
    auto n = number(512, 16777215);
    if (!n) return std::nullopt;
    firstBurst_ = static_cast<std::uint32_t>(std::min<std::uint64_t>({*n, c.firstBurstLength, maxBurst_}));
    return Decimal(firstBurst_);
  }
  // Result functions: Time2Wait the larger (ours is 0), Time2Retain the
  // smaller (ours is 0: nothing is kept for reconnection).
  if (key == "DefaultTime2Wait") {
    auto n = number(0, 3600);
    return n ? std::optional<std::string>(Decimal(*n)) : std::nullopt;
  }
  if (key == "DefaultTime2Retain") return number(0, 3600) ? std::optional<std::string>("0") : std::nullopt;
  if (key == "MaxOutstandingR2T") return number(1, 65535) ? std::optional<std::string>("1") : std::nullopt;
  if (key == "DataPDUInOrder" || key == "DataSequenceInOrder") return "Yes";
  if (key == "ErrorRecoveryLevel") return number(0, 2) ? std::optional<std::string>("0") : std::nullopt;
  if (key == "IFMarker" || key == "OFMarker") return "No";
  if (key == "IFMarkInt" || key == "OFMarkInt") return "Irrelevant";
  return "NotUnderstood";
}

bool Connection::Chap(const TextKeys& keys, TextKeys* reply, std::string* failure) {
  const TargetConfig& c = target_.config();
  std::string name, response;
  bool mutual = false;
  for (const auto& [key, value] : keys) {
    if (key == "CHAP_A") {
      // Algorithm 5: MD5, the one RFC 7143 requires.
      if (!InList(value, "5")) {
        *failure = "CHAP algorithms offered (" + value + ") do not include MD5 (5)";
        return false;
      }
      chapId_ = static_cast<std::uint8_t>(Random32());
      chapChallenge_.resize(16);
      for (auto& b : chapChallenge_) b = static_cast<std::uint8_t>(Random32());
      reply->emplace_back("CHAP_A", "5");
      reply->emplace_back("CHAP_I", Decimal(*chapId_));
      reply->emplace_back("CHAP_C", Hex(chapChallenge_));
    } else if (key == "CHAP_N") {
      name = value;
    } else if (key == "CHAP_R") {
      response = value;
    } else if (key == "CHAP_I" || key == "CHAP_C") {
      mutual = true;
    }
  }
  if (mutual) {
    *failure = "mutual CHAP (the target proving itself) is not offered";
    return false;
  }
  if (name.empty() && response.empty()) return true;
  if (!chapId_) {
    *failure = "a CHAP response before the challenge";
    return false;
  }
  // R = MD5(identifier, secret, challenge), RFC 1994.
  std::vector<std::uint8_t> message{*chapId_};
  message.insert(message.end(), c.chapSecret.begin(), c.chapSecret.end());
  message.insert(message.end(), chapChallenge_.begin(), chapChallenge_.end());
  const auto expected = Md5(message);
  const auto got = FromHex(response);
  chapId_.reset();  // one answer per challenge
  if (name != c.chapUser || !got || !std::equal(got->begin(), got->end(), expected.begin(), expected.end())) {
    *failure = "CHAP response for user \"" + name + "\" does not match";
    return false;
  }
  authenticated_ = true;
  return true;
}

void Connection::HandleLogin(const Pdu& pdu) {
  const std::uint8_t flags = pdu.bhs[1];
  const int csg = (flags >> 2) & 0x03;
  const int nsg = flags & 0x03;
  const bool transit = (flags & kTransit) != 0;
  if (firstLogin_) {
    std::copy_n(pdu.bhs.begin() + 8, 6, isid_.begin());
    tsih_ = be::load16(&pdu.bhs[14]);
    // The login request carries the CmdSN of the first command to come.
    expCmdSn_ = pdu.Field32(24);
    statSn_ = Random32() & 0x00FFFFFF;
  }
  if (pdu.bhs[3] > 0x00) return RefuseLogin(pdu, kInitiatorError, 0x05, "unsupported protocol version");
  if (csg == 2 || csg == kFullFeatureStage) return RefuseLogin(pdu, kInitiatorError, 0x00, "bad login stage");

  // A request continued over several PDUs: collect, answer each part empty.
  if (loginText_.size() + pdu.data.size() > 65536) return RefuseLogin(pdu, kInitiatorError, 0x00, "login text too long");
  loginText_.insert(loginText_.end(), pdu.data.begin(), pdu.data.end());
  if (flags & kContinue) {
    LoginResponse(pdu, static_cast<std::uint8_t>(csg << 2), {});
    return;
  }
  TextKeys keys;
  const bool parsed = ParseTextKeys(loginText_, &keys);
  loginText_.clear();
  if (!parsed) return RefuseLogin(pdu, kInitiatorError, 0x00, "malformed login text");

  TextKeys reply;
  std::string failure;
  if (firstLogin_) {
    std::string targetName, sessionType = "Normal";
    for (const auto& [key, value] : keys) {
      if (key == "InitiatorName") initiator_ = value;
      if (key == "TargetName") targetName = value;
      if (key == "SessionType") sessionType = value;
    }
    if (initiator_.empty()) return RefuseLogin(pdu, kInitiatorError, kMissingParameter, "no InitiatorName");
    if (sessionType == "Discovery") {
      discovery_ = true;
    } else if (sessionType != "Normal") {
      return RefuseLogin(pdu, kInitiatorError, kSessionTypeNotSupported, "session type " + sessionType);
    } else if (targetName != target_.config().name) {
      return RefuseLogin(pdu, kInitiatorError, kTargetNotFound,
                         initiator_ + " asked for target \"" + targetName + "\", not " + target_.config().name);
    }
    if (tsih_ != 0)  // adding a connection to a session: one connection only
      return RefuseLogin(pdu, kInitiatorError, 0x0A, initiator_ + " asked to join a session that does not exist");
    if (!discovery_) {
      std::string holder;
      if (!target_.OpenSession(this, initiator_, isid_, &holder))
        return RefuseLogin(pdu, kTargetError, kOutOfResources,
                           "refused a session for " + initiator_ + ": the recorder is in use by " + holder +
                               " (one session at a time)");
      sessionHeld_ = true;
      reply.emplace_back("TargetPortalGroupTag", "1");
    }
    firstLogin_ = false;
  }

  const bool chapRequired = !target_.config().chapUser.empty();
  if (csg == kSecurityStage) {
    for (const auto& [key, value] : keys) {
      if (key != "AuthMethod") continue;
      if (chapRequired && InList(value, "CHAP")) {
        chapChosen_ = true;
        reply.emplace_back("AuthMethod", "CHAP");
      } else if (!chapRequired && InList(value, "None")) {
        authenticated_ = true;
        reply.emplace_back("AuthMethod", "None");
      } else {
        return RefuseLogin(pdu, kInitiatorError, kAuthFailure,
                           initiator_ + " offered AuthMethod=" + value + "; this target wants " +
                               (chapRequired ? "CHAP" : "None"));
      }
    }
    if (chapChosen_ && !Chap(keys, &reply, &failure))
      return RefuseLogin(pdu, kInitiatorError, kAuthFailure, initiator_ + ": " + failure);
    for (const auto& [key, value] : keys) {
      if (key == "AuthMethod" || key.rfind("CHAP_", 0) == 0) continue;
      if (auto answer = Negotiate(key, value, &failure)) reply.emplace_back(key, *answer);
      if (!failure.empty()) return RefuseLogin(pdu, kInitiatorError, 0x00, failure);
    }
  } else {
    for (const auto& [key, value] : keys) {
      if (auto answer = Negotiate(key, value, &failure)) reply.emplace_back(key, *answer);
      if (!failure.empty()) return RefuseLogin(pdu, kInitiatorError, 0x00, failure);
    }
  }

  if (!transit) {
    LoginResponse(pdu, static_cast<std::uint8_t>(csg << 2), reply);
    return;
  }
  // Leaving the security stage (or skipping it) needs the authentication
  // done: with CHAP required, an initiator that never ran it is refused.
  if (!authenticated_) {
    // CHAP under way: the initiator asked to move on with its first offer;
    // it stays in the security stage until its response is checked.
    if (chapRequired && csg == kSecurityStage && chapChosen_) {
      LoginResponse(pdu, static_cast<std::uint8_t>(csg << 2), reply);
      return;
    }
    if (chapRequired)
      return RefuseLogin(pdu, kInitiatorError, kAuthFailure, initiator_ + " did not authenticate (CHAP required)");
    authenticated_ = true;
  }
  if (nsg == kFullFeatureStage) {
    if (tsih_ == 0) tsih_ = target_.NextTsih();
    LoginResponse(pdu, static_cast<std::uint8_t>(kTransit | (csg << 2) | nsg), reply);
    phase_ = Phase::kFullFeature;
    reader_.SetMaxData(target_.config().maxRecvDataSegmentLength);
    target_.Say(peer_ + ": " + (discovery_ ? "discovery session" : "session") + " opened for " + initiator_);
    return;
  }
  if (nsg != kOperationalStage || csg == kOperationalStage)
    return RefuseLogin(pdu, kInitiatorError, 0x00, "bad next login stage");
  LoginResponse(pdu, static_cast<std::uint8_t>(kTransit | (csg << 2) | nsg), reply);
}

// --- Full feature phase -----------------------------------------------------

void Connection::HandleNopOut(const Pdu& pdu) {
  if (!NoteCommand(pdu)) return;
  if (pdu.itt() == kReservedTag) return;  // an answer to a ping of ours
  Pdu r;
  r.bhs[0] = kNopIn;
  r.bhs[1] = kFinalBit;
  std::copy_n(pdu.bhs.begin() + 8, 8, r.bhs.begin() + 8);
  r.SetField32(16, pdu.itt());
  r.SetField32(20, kReservedTag);
  StampSequence(r, true);
  r.data.assign(pdu.data.begin(), pdu.data.begin() + std::min<std::size_t>(pdu.data.size(), peerMaxRecv_));
  Send(r);
}

void Connection::HandleText(const Pdu& pdu) {
  if (!NoteCommand(pdu)) return;
  if (pdu.bhs[1] & kContinue) return Reject(pdu, kReasonNotSupported);
  TextKeys keys, reply;
  if (!ParseTextKeys(pdu.data, &keys)) return Reject(pdu, kReasonProtocolError);
  for (const auto& [key, value] : keys) {
    if (key == "SendTargets") {
      if (value == "All" || value == target_.config().name || (value.empty() && !discovery_)) {
        reply.emplace_back("TargetName", target_.config().name);
        reply.emplace_back("TargetAddress", target_.config().address + ",1");
      }
    } else {
      reply.emplace_back(key, "NotUnderstood");
    }
  }
  Pdu r;
  r.bhs[0] = kTextResponse;
  r.bhs[1] = kFinalBit;
  r.SetField32(16, pdu.itt());
  r.SetField32(20, kReservedTag);
  StampSequence(r, true);
  r.data = EncodeTextKeys(reply);
  if (r.data.size() > peerMaxRecv_) r.data.resize(peerMaxRecv_);
  Send(r);
}

void Connection::HandleLogout(const Pdu& pdu) {
  if (!NoteCommand(pdu)) return;
  write_.reset();
  Pdu r;
  r.bhs[0] = kLogoutResponse;
  r.bhs[1] = kFinalBit;
  r.bhs[2] = 0;  // connection or session closed successfully
  r.SetField32(16, pdu.itt());
  StampSequence(r, true);
  Send(r);
  Close(initiator_ + " logged out");
}

void Connection::HandleTaskManagement(const Pdu& pdu) {
  if (!NoteCommand(pdu)) return;
  const std::uint8_t function = pdu.bhs[1] & 0x7F;
  std::uint8_t response = kFunctionComplete;
  // Commands run to their end before the next PDU is read, so the only task
  // a request can still find is a write waiting for its data.
  if (function == kAbortTask) {
    if (write_ && write_->itt == pdu.Field32(20)) write_.reset();
  } else if (function == kTaskReassign) {
    response = kFunctionNotSupported;
  } else if (function >= 2 && function <= kTargetColdReset) {
    write_.reset();
    if (function == kLunReset || function == kTargetWarmReset || function == kTargetColdReset) {
      target_.unit().Reset();
      target_.Say(peer_ + ": " + (function == kLunReset ? "logical unit" : "target") + " reset by " + initiator_);
    }
  } else {
    response = kFunctionNotSupported;
  }
  Pdu r;
  r.bhs[0] = kTaskManagementResponse;
  r.bhs[1] = kFinalBit;
  r.bhs[2] = response;
  r.SetField32(16, pdu.itt());
  StampSequence(r, true);
  Send(r);
  if (function == kTargetColdReset && response == kFunctionComplete) Close("target cold reset");
}

void Connection::HandleScsiCommand(const Pdu& pdu) {
  if (!NoteCommand(pdu)) return;
  if (discovery_) {
    Reject(pdu, kReasonProtocolError);
    return Close("a SCSI command in a discovery session");
  }
  const std::uint8_t flags = pdu.bhs[1];
  const std::uint32_t expected = pdu.Field32(20);
  std::array<std::uint8_t, 8> lun;
  std::copy_n(pdu.bhs.begin() + 8, 8, lun.begin());
  const std::span<const std::uint8_t> cdb(pdu.bhs.data() + 32, 16);
  const bool read = flags & kRead, write = flags & kWrite;

  if (write_) {
    // One task at a time: a new command while a write waits for its data
    // means the initiator gave that write up.
    write_.reset();
  }
  if (!pdu.ahs.empty() || (read && write) || expected > target_.config().maxTransferLength ||
      (!write && !pdu.data.empty())) {
    // Extended CDBs, bidirectional transfers and oversized ones have no use
    // on an MMC unit: refused as the drive would refuse a field it does not
    // support.
    return Respond(pdu.itt(), Check(0x05, 0x24, 0x00), expected, 0);
  }
  if (write) {
    if (pdu.data.size() > expected || (!pdu.data.empty() && (!immediateData_ || pdu.data.size() > firstBurst_))) {
      Reject(pdu, kReasonProtocolError);
      return Close("immediate data beyond what was negotiated");
    }
    WriteTask t;
    t.itt = pdu.itt();
    t.lun = lun;
    t.cdb.assign(cdb.begin(), cdb.end());
    t.buffer.assign(expected, 0);
    std::copy(pdu.data.begin(), pdu.data.end(), t.buffer.begin());
    t.received = static_cast<std::uint32_t>(pdu.data.size());
    if (t.received == expected) return Run(t.itt, lun, t.cdb, t.buffer, Direction::kOut);
    write_ = std::move(t);
    return SendR2t();
  }
  std::vector<std::uint8_t> buffer(read ? expected : 0);
  Run(pdu.itt(), lun, cdb, buffer, read ? Direction::kIn : Direction::kNone);
}

void Connection::SendR2t() {
  WriteTask& t = *write_;
  const std::uint32_t length =
      std::min<std::uint32_t>(maxBurst_, static_cast<std::uint32_t>(t.buffer.size()) - t.received);
  t.burstEnd = t.received + length;
  t.ttt = nextTtt_++;
  if (nextTtt_ == kReservedTag) nextTtt_ = 1;
  Pdu r;
  r.bhs[0] = kR2t;
  r.bhs[1] = kFinalBit;
  std::copy(t.lun.begin(), t.lun.end(), r.bhs.begin() + 8);
  r.SetField32(16, t.itt);
  r.SetField32(20, t.ttt);
  StampSequence(r, false);
  r.SetField32(36, t.r2tsn++);
  r.SetField32(40, t.received);
  r.SetField32(44, length);
  Send(r);
}

void Connection::HandleDataOut(const Pdu& pdu) {
  // With InitialR2T=Yes every Data-Out answers an R2T of ours.
  if (!write_ || write_->itt != pdu.itt() || write_->ttt != pdu.Field32(20)) return Reject(pdu, kReasonInvalidField);
  WriteTask& t = *write_;
  const std::uint32_t offset = pdu.Field32(40);
  const std::size_t length = pdu.data.size();
  if (offset != t.received || length > t.burstEnd - t.received) {
    Reject(pdu, kReasonProtocolError);
    return Close("Data-Out at offset " + std::to_string(offset) + " (" + std::to_string(length) +
                 " bytes) outside the burst asked for");
  }
  std::copy(pdu.data.begin(), pdu.data.end(), t.buffer.begin() + offset);
  t.received += static_cast<std::uint32_t>(length);
  if (t.received < t.burstEnd) return;
  if (t.received < t.buffer.size()) return SendR2t();
  WriteTask done = std::move(t);
  write_.reset();
  Run(done.itt, done.lun, done.cdb, done.buffer, Direction::kOut);
}

UnitResult Connection::RunOnTarget(std::uint64_t lun, std::span<const std::uint8_t> cdb,
                                   std::span<std::uint8_t> data, Direction direction) {
  if (cdb[0] == 0xA0) {  // REPORT LUNS, answered by the target for every LUN
    std::uint8_t list[16] = {};
    be::store32(list, 8);  // one LUN, number 0
    const std::uint32_t allocation = be::load32(&cdb[6]);
    const std::size_t n = std::min<std::size_t>({sizeof list, allocation, data.size()});
    std::copy_n(list, n, data.begin());
    return {0, {}, n};
  }
  if (lun != 0) {
    if (cdb[0] == 0x12 && !(cdb[1] & 0x01) && !data.empty()) {
      // INQUIRY to a LUN that does not exist: peripheral qualifier 3,
      // device type 1Fh.
      std::uint8_t reply[36] = {0x7F, 0x00, 0x05, 0x02, 31};
      const std::size_t n = std::min<std::size_t>({sizeof reply, data.size(), be::load16(&cdb[3])});
      std::copy_n(reply, n, data.begin());
      return {0, {}, n};
    }
    return Check(0x05, 0x25, 0x00);  // LOGICAL UNIT NOT SUPPORTED
  }
  return target_.unit().Execute(cdb, data, direction);
}

void Connection::Run(std::uint32_t itt, const std::array<std::uint8_t, 8>& lun, std::span<const std::uint8_t> cdb,
                     std::vector<std::uint8_t>& buffer, Direction direction) {
  const UnitResult result = RunOnTarget(DecodeLun(lun), cdb, buffer, direction);
  if (target_.config().trace) Trace(cdb, buffer, direction, result);
  // A command that wanted more than the initiator expected (transferred
  // beyond the buffer) sends what fits and reports the overflow.
  const std::size_t total = std::min(result.transferred, buffer.size());
  std::uint32_t dataSn = 0;
  if (direction == Direction::kIn && total > 0) {
    // Data-In PDUs no larger than the initiator takes in one segment, each
    // burst (MaxBurstLength) ended by the F bit; the status rides on the
    // last one when the command succeeded.
    const bool good = result.status == 0 && result.sense.empty();
    std::size_t offset = 0;
    do {
      const std::size_t burstStart = offset - offset % maxBurst_;
      const std::size_t segment = std::min<std::size_t>({peerMaxRecv_, total - offset, burstStart + maxBurst_ - offset});
      const bool last = offset + segment == total;
      Pdu d;
      d.bhs[0] = kDataIn;
      std::uint8_t f = 0;
      if (last || offset + segment == burstStart + maxBurst_) f |= kFinalBit;
      if (last && good) {
        f |= kStatusBit;
        if (result.transferred < buffer.size()) {
          f |= kUnderflow;
          d.SetField32(44, static_cast<std::uint32_t>(buffer.size() - result.transferred));
        } else if (result.transferred > buffer.size()) {
          f |= kOverflow;
          d.SetField32(44, static_cast<std::uint32_t>(result.transferred - buffer.size()));
        }
      }
      d.bhs[1] = f;
      std::copy(lun.begin(), lun.end(), d.bhs.begin() + 8);
      d.SetField32(16, itt);
      d.SetField32(20, kReservedTag);
      StampSequence(d, last && good);
      if (!(last && good)) d.SetField32(24, 0);  // StatSN is reserved without the status
      d.SetField32(36, dataSn++);
      d.SetField32(40, static_cast<std::uint32_t>(offset));
      d.data.assign(buffer.begin() + static_cast<std::ptrdiff_t>(offset),
                    buffer.begin() + static_cast<std::ptrdiff_t>(offset + segment));
      Send(d);
      offset += segment;
      if (last && good) return;
    } while (offset < total);
  }
  Respond(itt, result, buffer.size(), dataSn);
}

void Connection::Trace(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> data, Direction direction,
                       const UnitResult& result) const {
  char b[8];
  std::string line = "cdb";
  for (std::size_t i = 0; i < CdbLength(cdb[0]); ++i) std::snprintf(b, sizeof b, " %02X", cdb[i]), line += b;
  const std::size_t shown = std::min<std::size_t>({result.transferred, data.size(), 64});
  if (direction == Direction::kOut) {
    line += " | out " + std::to_string(data.size()) + ":";
    for (std::size_t i = 0; i < std::min<std::size_t>(data.size(), 64); ++i)
      std::snprintf(b, sizeof b, " %02X", data[i]), line += b;
  }
  if (result.status == 0) {
    line += " -> GOOD";
    if (direction == Direction::kIn) {
      line += " in " + std::to_string(result.transferred) + ":";
      for (std::size_t i = 0; i < shown; ++i) std::snprintf(b, sizeof b, " %02X", data[i]), line += b;
    }
  } else if (result.sense.size() >= 14) {
    std::snprintf(b, sizeof b, "%X", result.sense[2] & 0x0F);
    line += std::string(" -> CHECK ") + b;
    std::snprintf(b, sizeof b, "/%02X", result.sense[12]), line += b;
    std::snprintf(b, sizeof b, "/%02X", result.sense[13]), line += b;
  } else {
    std::snprintf(b, sizeof b, "%02X", result.status);
    line += std::string(" -> status ") + b;
  }
  target_.Say(peer_ + ": " + line);
}

void Connection::Respond(std::uint32_t itt, const UnitResult& result, std::size_t expected, std::uint32_t dataSn) {
  Pdu r;
  r.bhs[0] = kScsiResponse;
  std::uint8_t flags = kFinalBit;
  std::uint32_t residual = 0;
  if (result.transferred < expected) {
    flags |= kUnderflow;
    residual = static_cast<std::uint32_t>(expected - result.transferred);
  } else if (result.transferred > expected) {
    flags |= kOverflow;
    residual = static_cast<std::uint32_t>(result.transferred - expected);
  }
  r.bhs[1] = flags;
  r.bhs[2] = 0x00;  // command completed at target
  r.bhs[3] = result.status;
  r.SetField32(16, itt);
  StampSequence(r, true);
  r.SetField32(36, dataSn);
  r.SetField32(44, residual);
  if (!result.sense.empty()) {
    r.data.resize(2 + result.sense.size());
    be::store16(r.data.data(), static_cast<std::uint16_t>(result.sense.size()));
    std::copy(result.sense.begin(), result.sense.end(), r.data.begin() + 2);
  }
  Send(r);
}

}  // namespace velloran::vrec::iscsi
