// MD5 (RFC 1321), for CHAP with algorithm 5 (RFC 1994), the one iSCSI
// initiators offer. Nothing else in the project may rely on it as a
// checksum of data.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace velloran::vrec::iscsi {

std::array<std::uint8_t, 16> Md5(std::span<const std::uint8_t> message);

}  // namespace velloran::vrec::iscsi
