#include "vrec/iscsi/pdu.h"

#include <algorithm>

#include "drive/byte_order.h"

namespace velloran::vrec::iscsi {
namespace {

constexpr std::size_t kMaxKeyLength = 63;
constexpr std::size_t kMaxValueLength = 8191;
constexpr std::size_t kMaxPairs = 256;

std::size_t Padded(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

}  // namespace

std::uint32_t Pdu::Field32(std::size_t offset) const { return be::load32(&bhs[offset]); }
void Pdu::SetField32(std::size_t offset, std::uint32_t value) { be::store32(&bhs[offset], value); }

std::vector<std::uint8_t> Pdu::Encode() const {
  std::vector<std::uint8_t> out(kBhsLength + Padded(ahs.size()) + Padded(data.size()), 0);
  std::copy(bhs.begin(), bhs.end(), out.begin());
  out[4] = static_cast<std::uint8_t>(Padded(ahs.size()) / 4);
  be::store24(&out[5], static_cast<std::uint32_t>(data.size()));
  std::copy(ahs.begin(), ahs.end(), out.begin() + kBhsLength);
  std::copy(data.begin(), data.end(), out.begin() + static_cast<std::ptrdiff_t>(kBhsLength + Padded(ahs.size())));
  return out;
}

void PduReader::Feed(std::span<const std::uint8_t> bytes) {
  // Drop what was consumed before growing, so a long connection keeps one
  // PDU's worth of buffer at most.
  if (consumed_ > 0 && consumed_ == buffer_.size()) {
    buffer_.clear();
    consumed_ = 0;
  } else if (consumed_ > (1u << 16)) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

PduReader::Result PduReader::Next(Pdu* out) {
  if (!error_.empty()) return Result::kError;
  const std::size_t available = buffer_.size() - consumed_;
  if (available < kBhsLength) return Result::kNeedMore;
  const std::uint8_t* p = buffer_.data() + consumed_;
  const std::size_t ahsLength = std::size_t{p[4]} * 4;
  const std::size_t dataLength = be::load24(&p[5]);
  if (dataLength > maxData_) {
    error_ = "a data segment of " + std::to_string(dataLength) + " bytes exceeds the " + std::to_string(maxData_) +
             " negotiated";
    return Result::kError;
  }
  const std::size_t total = kBhsLength + ahsLength + Padded(dataLength);
  if (available < total) return Result::kNeedMore;
  std::copy_n(p, kBhsLength, out->bhs.begin());
  out->ahs.assign(p + kBhsLength, p + kBhsLength + ahsLength);
  out->data.assign(p + kBhsLength + ahsLength, p + kBhsLength + ahsLength + dataLength);
  consumed_ += total;
  return Result::kPdu;
}

std::size_t CdbLength(std::uint8_t opcode) {
  switch (opcode >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 5: return 12;
    default: return 16;
  }
}

bool ParseTextKeys(std::span<const std::uint8_t> text, TextKeys* keys) {
  keys->clear();
  std::size_t i = 0;
  while (i < text.size()) {
    const auto nul = std::find(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(), std::uint8_t{0});
    const std::size_t end = static_cast<std::size_t>(nul - text.begin());
    // A final pair without its NUL is tolerated (some initiators pad with
    // zeros, which reads as empty pairs and is skipped).
    if (end > i) {
      const std::string pair(reinterpret_cast<const char*>(text.data() + i), end - i);
      const std::size_t eq = pair.find('=');
      if (eq == std::string::npos || eq == 0 || eq > kMaxKeyLength || pair.size() - eq - 1 > kMaxValueLength)
        return false;
      if (keys->size() >= kMaxPairs) return false;
      keys->emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
    }
    i = end + 1;
  }
  return true;
}

std::vector<std::uint8_t> EncodeTextKeys(const TextKeys& keys) {
  std::vector<std::uint8_t> out;
  for (const auto& [key, value] : keys) {
    out.insert(out.end(), key.begin(), key.end());
    out.push_back('=');
    out.insert(out.end(), value.begin(), value.end());
    out.push_back(0);
  }
  return out;
}

}  // namespace velloran::vrec::iscsi
