// Feeds arbitrary bytes to one iSCSI connection of the served recorder, as
// if an initiator sent them over TCP: PDU framing, login text and CHAP, the
// full feature phase's commands, data and task management. The first byte
// picks the set-up: bit 0 puts a valid login in front (so the fuzzer starts
// in the full feature phase), bit 1 requires CHAP. The logical unit behind
// is a stand-in that answers every command at once; the protocol code is
// what is fuzzed.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vrec/iscsi/connection.h"

namespace {

using namespace velloran::vrec::iscsi;

class Unit : public LogicalUnit {
 public:
  UnitResult Execute(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data, Direction d) override {
    UnitResult r;
    if (cdb[0] == 0x00 || cdb[0] == 0x2A) {  // TEST UNIT READY, WRITE: fail with sense
      r.status = 0x02;
      r.sense.assign(18, 0);
      r.sense[0] = 0x70;
      r.sense[2] = 0x02;
      r.sense[12] = 0x3A;
      return r;
    }
    if (d == Direction::kIn)
      for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    // Sometimes more than the buffer: the overflow path.
    r.transferred = data.size() + (cdb[1] & 0x01 ? 100 : 0);
    return r;
  }
  void Reset() override {}
};

std::vector<std::uint8_t> Login() {
  std::vector<std::uint8_t> out;
  auto add = [&](std::uint8_t flags, const TextKeys& keys) {
    Pdu p;
    p.bhs[0] = kLoginRequest | kImmediateBit;
    p.bhs[1] = flags;
    p.bhs[13] = 1;
    p.data = EncodeTextKeys(keys);
    const auto b = p.Encode();
    out.insert(out.end(), b.begin(), b.end());
  };
  add(0x81, {{"InitiatorName", "iqn.fuzz"}, {"TargetName", "iqn.target"}, {"AuthMethod", "None"}});
  add(0x87, {{"MaxRecvDataSegmentLength", "512"}, {"MaxBurstLength", "1024"}, {"FirstBurstLength", "512"}});
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const std::vector<std::uint8_t> login = Login();
  Unit unit;
  TargetConfig config;
  config.name = "iqn.target";
  config.maxTransferLength = 1 << 16;
  if (data[0] & 0x02) config.chapUser = "user", config.chapSecret = "secret";
  Target target(config, unit, nullptr);
  Connection connection(target, "fuzz");
  if (data[0] & 0x01) connection.Receive(login);
  // In two pieces, so a PDU split across reads is covered too.
  const std::size_t half = (size - 1) / 2;
  connection.Receive(std::span(data + 1, half));
  (void)connection.TakeOutput();
  connection.Receive(std::span(data + 1 + half, size - 1 - half));
  (void)connection.TakeOutput();
  return 0;
}
