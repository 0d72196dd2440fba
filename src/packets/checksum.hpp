#pragma once

#include <cstdint>
#include <span>

namespace tarnvale::packets {

// RFC 1071: the ones' complement of the ones' complement sum of the 16-bit
// big-endian words (an odd last byte padded with zero).
std::uint16_t internet_checksum(std::span<const std::uint8_t> bytes);

}  // namespace tarnvale::packets
