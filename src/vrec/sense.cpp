#include "vrec/sense.h"

#include "vrec/bytes.h"

namespace velloran::vrec {

std::array<std::uint8_t, kSenseLength> Sense::Encode() const {
  std::array<std::uint8_t, kSenseLength> b{};
  b[0] = static_cast<std::uint8_t>(0x70 | (infoValid ? 0x80 : 0));
  b[2] = key & 0x0F;
  be::store32(&b[3], information);
  b[7] = kSenseLength - 8;
  b[12] = asc;
  b[13] = ascq;
  if (sksv) {
    std::uint8_t flags = 0x80;
    if (key == kIllegalRequest) {
      if (inCdb) flags |= 0x40;
      if (bitPointer <= 7) flags |= static_cast<std::uint8_t>(0x08 | bitPointer);
    }
    b[15] = flags;
    be::store16(&b[16], field);
  }
  return b;
}

Sense Sense::InvalidCdbField(std::uint16_t byte, std::uint8_t bit) {
  Sense s = Make(kIllegalRequest, 0x24, 0x00);
  s.sksv = true;
  s.inCdb = true;
  s.field = byte;
  s.bitPointer = bit;
  return s;
}

Sense Sense::InvalidParameter(std::uint16_t byte, std::uint8_t bit) {
  Sense s = Make(kIllegalRequest, 0x26, 0x00);
  s.sksv = true;
  s.inCdb = false;
  s.field = byte;
  s.bitPointer = bit;
  return s;
}

Sense Sense::Progress(std::uint8_t ascq, std::uint16_t progress) {
  Sense s = Make(kNotReady, 0x04, ascq);
  s.sksv = true;
  s.field = progress;
  return s;
}

Sense Sense::AtAddress(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::uint32_t lba) {
  Sense s = Make(key, asc, ascq);
  s.infoValid = true;
  s.information = lba;
  return s;
}

}  // namespace velloran::vrec
