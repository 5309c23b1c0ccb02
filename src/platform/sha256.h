// SHA-256 of a byte stream fed in pieces (libcrypto, which uses the
// processor's SHA instructions where it has them).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velloran::platform {

using TDigest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, std::size_t size);
  // The digest of everything fed since construction or the last Final;
  // the hash starts over afterwards.
  TDigest Final();

 private:
  struct Context;
  Context* context_;
};

// The first 64 bits of the SHA-256 of one piece: enough to tell a changed
// sector from the one recorded (a chance collision is one in 2^64), at an
// eighth of the memory of whole digests for every sector of a disc.
std::uint64_t ShortDigest(const void* data, std::size_t size);

// Lower-case hexadecimal, as sha256sum prints it.
std::string HexDigest(const TDigest& digest);

}  // namespace velloran::platform
