// Hand-made discs in memory for the importer tests: directory records,
// directory sectors and volume descriptors, written the way ISO 9660
// lays them out, plus whatever damage a test wants.
#pragma once

#include "drive/byte_order.h"
#include "image/session_import.h"
#include "platform/ucs2.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace velloran::image::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Record(const std::string& identifier, std::uint32_t extent, std::uint32_t size, std::uint8_t flags) {
  const std::size_t idLength = identifier.size();
  const std::size_t length = 33 + idLength + (idLength % 2 == 0 ? 1 : 0);
  Bytes r(length, 0);
  r[0] = static_cast<std::uint8_t>(length);
  both::store32(&r[2], extent);
  both::store32(&r[10], size);
  const std::uint8_t date[7] = {121, 3, 14, 15, 9, 26, 4};  // 2021-03-14 15:09:26
  std::memcpy(&r[18], date, 7);
  r[25] = flags;
  both::store16(&r[28], 1);
  r[32] = static_cast<std::uint8_t>(idLength);
  std::memcpy(&r[33], identifier.data(), idLength);
  return r;
}

inline std::string Ucs2(const std::u16string& s) { return platform::Utf16ToBigEndian(s); }

inline Bytes Dot(std::uint32_t extent) { return Record(std::string(1, '\0'), extent, 2048, 2); }
inline Bytes DotDot(std::uint32_t extent) { return Record(std::string(1, '\1'), extent, 2048, 2); }
inline Bytes JFileU(const std::u16string& name, std::uint32_t extent, std::uint32_t size, std::uint8_t flags = 0) {
  return Record(Ucs2(name + u";1"), extent, size, flags);
}
inline Bytes JFile(const std::string& name, std::uint32_t extent, std::uint32_t size, std::uint8_t flags = 0) {
  return Record(platform::Utf8ToUcs2Be(name + ";1"), extent, size, flags);
}
inline Bytes JDirU(const std::u16string& name, std::uint32_t extent, std::uint32_t size = 2048) {
  return Record(Ucs2(name), extent, size, 2);
}
inline Bytes JDir(const std::string& name, std::uint32_t extent, std::uint32_t size = 2048) {
  return Record(platform::Utf8ToUcs2Be(name), extent, size, 2);
}
inline Bytes IFile(const std::string& id, std::uint32_t extent, std::uint32_t size) { return Record(id, extent, size, 0); }
inline Bytes IDir(const std::string& id, std::uint32_t extent) { return Record(id, extent, 2048, 2); }

class Disc {
 public:
  // Writes records from lba on, starting a new sector where a record would
  // not fit in the rest of the current one.
  void Dir(std::uint32_t lba, const std::vector<Bytes>& records) {
    std::vector<std::uint8_t> sector(2048, 0);
    std::size_t pos = 0;
    for (const Bytes& r : records) {
      if (pos + r.size() > 2048) {
        Raw(lba++, sector);
        sector.assign(2048, 0);
        pos = 0;
      }
      pos = Put(sector, pos, r);
    }
    Raw(lba, sector);
  }
  std::size_t Put(std::vector<std::uint8_t>& sector, std::size_t pos, const Bytes& r) {
    std::copy(r.begin(), r.end(), sector.begin() + static_cast<std::ptrdiff_t>(pos));
    return pos + r.size();
  }
  void Raw(std::uint32_t lba, const std::vector<std::uint8_t>& sector) { sectors_[lba] = sector; }
  void Unreadable(std::uint32_t lba) { bad_.insert(lba); }

  // Descriptors at start + 16: a Joliet one (when jolietRoot is not 0),
  // the primary one (when isoRoot is not 0), the terminator.
  void Volume(std::uint32_t start, std::uint32_t jolietRoot, std::uint32_t isoRoot, bool jolietEscape = true) {
    std::uint32_t lba = start + 16;
    auto descriptor = [&](std::uint8_t type, std::uint32_t root) {
      std::vector<std::uint8_t> d(2048, 0);
      d[0] = type;
      std::memcpy(&d[1], "CD001", 5);
      d[6] = 1;
      if (type == 2 && jolietEscape) d[88] = 0x25, d[89] = 0x2F, d[90] = 0x45;
      const Bytes r = Dot(root);
      std::copy(r.begin(), r.end(), d.begin() + 156);
      Raw(lba++, d);
    };
    if (isoRoot) descriptor(1, isoRoot);
    if (jolietRoot) descriptor(2, jolietRoot);
    descriptor(255, 0);
  }

  SectorReader Reader() {
    return [this](std::uint32_t lba, std::uint8_t* out) {
      ++reads;
      if (bad_.count(lba)) return false;
      auto it = sectors_.find(lba);
      if (it == sectors_.end())
        std::memset(out, 0, 2048);
      else
        std::memcpy(out, it->second.data(), 2048);
      return true;
    };
  }

  std::uint64_t reads = 0;

 private:
  std::map<std::uint32_t, std::vector<std::uint8_t>> sectors_;
  std::set<std::uint32_t> bad_;
};

}  // namespace velloran::image::testing
