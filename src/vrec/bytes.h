// Big-endian field helpers for command blocks and replies: the project's
// own (MMC puts every multi-byte field on the wire most significant byte
// first). Inside velloran::vrec, be:: names velloran::be.
#pragma once

#include "drive/byte_order.h"

namespace velloran::vrec {
namespace be = ::velloran::be;
}  // namespace velloran::vrec
