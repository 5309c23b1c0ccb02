#include "recording/speed_text.h"

#include <cstdio>

namespace velloran::recording {

std::string GroupThousands(std::uint32_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

namespace {

std::string Steps(bool dvd, std::uint32_t speed) {
  char buf[32];
  if (dvd)
    std::snprintf(buf, sizeof buf, "%.1f", speed / 1385.0);
  else
    std::snprintf(buf, sizeof buf, "%.0f", speed / 176.4);
  return buf;
}

}  // namespace

std::string WriteSpeedText(std::uint8_t kind, std::uint32_t speed) {
  const bool dvd = kind == 5 || kind == 6 || kind == 8 || kind == 9 || kind == 10 || kind == 11;
  return Steps(dvd, speed) + "X (" + GroupThousands(speed) + " KB/s)";
}

std::string EraseSpeedText(std::uint8_t kind, std::uint32_t speed) {
  const bool dvd = kind >= 6 && kind <= 10;
  return Steps(dvd, speed) + "X(" + GroupThousands(speed) + " KB/s)";
}

}  // namespace velloran::recording
