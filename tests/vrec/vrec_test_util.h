// Helpers for the virtual recorder tests: a temporary state folder and a
// drive driven by raw command blocks.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "vrec/bytes.h"
#include "vrec/recorder.h"

namespace velloran::vrec::test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A fresh state folder per test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "vrec-test-XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    path = made ? fs::path(made) : fs::path(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  fs::path path;
};

// "00 20 0A" -> bytes.
inline Bytes Hex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char ch : text)
    if (std::isxdigit(static_cast<unsigned char>(ch))) digits += ch;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

inline Bytes Slice(const Bytes& b, std::size_t from, std::size_t n) {
  if (from >= b.size()) return {};
  return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(std::min(b.size(), from + n)));
}

#define EXPECT_SENSE(result, key, asc, ascq)                                                  \
  do {                                                                                        \
    const auto& r_ = (result);                                                                \
    EXPECT_EQ(r_.status, 0x02);                                                               \
    EXPECT_EQ(int{r_.Key()}, (key));                                                          \
    EXPECT_EQ(int{r_.Asc()}, (asc));                                                          \
    EXPECT_EQ(int{r_.Ascq()}, (ascq));                                                        \
  } while (0)

#define EXPECT_GOOD(result)                                                                              \
  do {                                                                                                   \
    const auto& r_ = (result);                                                                           \
    EXPECT_EQ(r_.status, 0x00) << "sense " << std::hex << int{r_.Key()} << "/" << int{r_.Asc()} << "/" \
                               << int{r_.Ascq()};                                                        \
  } while (0)

// One recorder on a manual clock, commanded by raw CDBs.
class Drive {
 public:
  explicit Drive(const fs::path& dir, int number = 0, std::uint32_t buffer = 2u << 20)
      : recorder(dir, number, RecorderOptions{&clock, 1.0, buffer}) {}

  ManualClock clock;
  Recorder recorder;
  Bytes data;  // reply of the last data-in command

  CommandResult In(std::initializer_list<std::uint8_t> cdb, std::size_t length) {
    data.assign(length, 0xEE);
    Bytes c(cdb);
    auto r = recorder.Execute(c, data, DataDirection::In);
    data.resize(r.transferred);
    return r;
  }
  CommandResult Out(std::initializer_list<std::uint8_t> cdb, Bytes payload) {
    Bytes c(cdb);
    return recorder.Execute(c, payload, DataDirection::Out);
  }
  CommandResult None(std::initializer_list<std::uint8_t> cdb) {
    Bytes c(cdb);
    return recorder.Execute(c, {}, DataDirection::None);
  }
  CommandResult Cdb(const Bytes& cdb, Bytes payload = {}, DataDirection dir = DataDirection::None) {
    if (dir == DataDirection::In) {
      data = std::move(payload);
      auto r = recorder.Execute(cdb, data, dir);
      data.resize(r.transferred);
      return r;
    }
    return recorder.Execute(cdb, payload, dir);
  }

  // Inserts a medium and takes the unit attention that follows.
  void Insert(MediumKind kind, InsertOptions options = {}) {
    std::string why;
    ASSERT_TRUE(recorder.Insert(kind, options, &why)) << why;
    auto r = Tur();
    ASSERT_EQ(r.Asc(), 0x28);
  }

  CommandResult Tur() { return None({0x00, 0, 0, 0, 0, 0}); }
  CommandResult Write(std::int64_t lba, std::uint32_t count, std::uint8_t fill = 0xAB, std::size_t blockSize = 2048) {
    Bytes cdb{0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    be::store32(&cdb[2], static_cast<std::uint32_t>(lba));
    be::store16(&cdb[7], count);
    return Cdb(cdb, Bytes(count * blockSize, fill), DataDirection::Out);
  }
  CommandResult Read(std::int64_t lba, std::uint32_t count) {
    Bytes cdb{0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    be::store32(&cdb[2], static_cast<std::uint32_t>(lba));
    be::store16(&cdb[7], count);
    return Cdb(cdb, Bytes(count * 2048, 0xEE), DataDirection::In);
  }
  // MODE SELECT(10) of page 05h with the given bytes 2, 3 and 4.
  CommandResult Page05(std::uint8_t b2, std::uint8_t b3, std::uint8_t b4 = 0x08, std::uint8_t length = 0x32) {
    Bytes list(8 + 2 + length, 0);
    list[8] = 0x05;
    list[9] = length;
    list[10] = b2;
    list[11] = b3;
    list[12] = b4;
    list[13] = 16;
    vrec::be::store16(&list[8 + 14], 150);
    Bytes cdb{0x55, 0x10, 0, 0, 0, 0, 0, 0, 0, 0};
    be::store16(&cdb[7], static_cast<std::uint32_t>(list.size()));
    return Cdb(cdb, list, DataDirection::Out);
  }
  CommandResult Close(std::uint8_t function, std::uint16_t track = 0, bool immed = false) {
    Bytes cdb{0x5B, static_cast<std::uint8_t>(immed ? 1 : 0), function, 0, 0, 0, 0, 0, 0, 0};
    be::store16(&cdb[4], track);
    return Cdb(cdb);
  }
  CommandResult Sync(bool immed = false) {
    return Cdb(Bytes{0x35, static_cast<std::uint8_t>(immed ? 2 : 0), 0, 0, 0, 0, 0, 0, 0, 0});
  }
  CommandResult Reserve(std::uint32_t size) {
    Bytes cdb{0x53, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    be::store32(&cdb[5], size);
    return Cdb(cdb);
  }
  CommandResult Blank(std::uint8_t type, bool immed) {
    return Cdb(Bytes{0xA1, static_cast<std::uint8_t>(type | (immed ? 0x10 : 0)), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  }
  CommandResult Format(std::uint8_t type, std::uint32_t blocks, bool immed, std::uint32_t tdp = 0) {
    Bytes list(12, 0);
    list[1] = immed ? 0x82 : 0x80;
    list[3] = 8;
    be::store32(&list[4], blocks);
    list[8] = static_cast<std::uint8_t>(type << 2);
    be::store24(&list[9], tdp);
    return Cdb(Bytes{0x04, 0x11, 0, 0, 0, 0}, list, DataDirection::Out);
  }
  Bytes DiscInfo() {
    auto r = In({0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, 34);
    EXPECT_GOOD(r);
    return data;
  }
  Bytes TrackInfo(std::uint32_t track) {
    Bytes cdb{0x52, 0x01, 0, 0, 0, 0, 0, 0, 48, 0};
    be::store32(&cdb[2], track);
    auto r = Cdb(cdb, Bytes(48), DataDirection::In);
    EXPECT_GOOD(r);
    return data;
  }
  CommandResult Toc(std::uint8_t format, bool msf, std::uint8_t track = 0, std::uint16_t length = 200) {
    Bytes cdb{0x43, static_cast<std::uint8_t>(msf ? 2 : 0), format, 0, 0, 0, track, 0, 0, 0};
    be::store16(&cdb[7], length);
    return Cdb(cdb, Bytes(length), DataDirection::In);
  }
  std::uint32_t Capacity() {
    auto r = In({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
    EXPECT_GOOD(r);
    return data.size() == 8 ? be::load32(data.data()) : 0xDEADBEEF;
  }
  // Runs out a long operation on the manual clock.
  void Finish() { clock.Advance(10 * 60 * 1000); }
};

inline std::uint32_t Be32(const Bytes& b, std::size_t at) { return be::load32(&b.at(at)); }

}  // namespace velloran::vrec::test
