#include "vrec/iscsi/recorder_unit.h"

#include <algorithm>
#include <vector>

#include "drive/byte_order.h"
#include "vrec/iscsi/pdu.h"

namespace velloran::vrec::iscsi {
namespace {

constexpr std::uint64_t kMaxOverflowRead = 16u << 20;

}  // namespace

UnitResult RecorderUnit::Execute(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data,
                                 Direction direction) {
  // The initiator always sends 16 bytes; the recorder sees the command's own
  // length, as it would behind SG_IO.
  const std::size_t length = std::min(cdb.size(), CdbLength(cdb.empty() ? 0 : cdb[0]));
  const DataDirection d = direction == Direction::kIn    ? DataDirection::In
                          : direction == Direction::kOut ? DataDirection::Out
                                                         : DataDirection::None;
  // READ (10) and (12) for more than the initiator expects: an iSCSI target
  // sends the part that fits and reports the rest as overflow, so the
  // recorder reads the whole command into a buffer of its own.
  if (direction == Direction::kIn && (cdb[0] == 0x28 || cdb[0] == 0xA8)) {
    const std::uint64_t blocks = cdb[0] == 0xA8 ? be::load32(&cdb[6]) : be::load16(&cdb[7]);
    const std::uint64_t want = blocks * 2048;
    if (want > data.size() && want <= kMaxOverflowRead) {
      std::vector<std::uint8_t> whole(want);
      UnitResult u = Execute(cdb, whole, direction);
      std::copy_n(whole.begin(), std::min<std::size_t>(data.size(), u.transferred), data.begin());
      return u;
    }
  }
  const CommandResult r = recorder_.Execute(cdb.first(length), data, d);
  UnitResult u;
  u.status = r.status;
  u.sense.assign(r.sense.begin(), r.sense.begin() + static_cast<std::ptrdiff_t>(r.senseLength));
  u.transferred = r.transferred;
  return u;
}

void RecorderUnit::Reset() { recorder_.ReleasePrevent(); }

}  // namespace velloran::vrec::iscsi
