#include "platform/sha256.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace velloran::platform {

struct Sha256::Context {
  EVP_MD_CTX* ctx;
};

Sha256::Sha256() : context_(new Context{EVP_MD_CTX_new()}) {
  // Only an allocation failure makes these fail; a hash that silently
  // stopped hashing would let a bad disc pass.
  if (!context_->ctx || EVP_DigestInit_ex(context_->ctx, EVP_sha256(), nullptr) != 1) std::abort();
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(context_->ctx);
  delete context_;
}

void Sha256::Update(const void* data, std::size_t size) {
  if (size && EVP_DigestUpdate(context_->ctx, data, size) != 1) std::abort();
}

TDigest Sha256::Final() {
  TDigest out{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_->ctx, out.data(), &length) != 1 || length != out.size() ||
      EVP_DigestInit_ex(context_->ctx, EVP_sha256(), nullptr) != 1)
    std::abort();
  return out;
}

std::uint64_t ShortDigest(const void* data, std::size_t size) {
  TDigest d{};
  unsigned int length = 0;
  if (EVP_Digest(data, size, d.data(), &length, EVP_sha256(), nullptr) != 1) std::abort();
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | d[i];
  return v;
}

std::string HexDigest(const TDigest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (std::uint8_t b : digest) {
    s += kHex[b >> 4];
    s += kHex[b & 15];
  }
  return s;
}

}  // namespace velloran::platform
