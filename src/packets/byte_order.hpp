#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnvale::packets {

inline std::uint16_t read_u16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

inline std::uint32_t read_u32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) << 24 | static_cast<std::uint32_t>(bytes[offset + 1]) << 16 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 8 | static_cast<std::uint32_t>(bytes[offset + 3]);
}

// A 32-bit value as the network sends it (most significant byte first in
// memory) read into a number.
inline std::uint32_t from_network_order(std::uint32_t value) {
    if constexpr (std::endian::native == std::endian::big) {
        return value;
    } else {
        return (value >> 24) | ((value >> 8) & 0xFF00U) | ((value << 8) & 0xFF0000U) | (value << 24);
    }
}

inline void write_u16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value >> 8);
    bytes[offset + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

inline void write_u32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
    write_u16(bytes, offset, static_cast<std::uint16_t>(value >> 16));
    write_u16(bytes, offset + 2, static_cast<std::uint16_t>(value & 0xFFFF));
}

}  // namespace tarnvale::packets
