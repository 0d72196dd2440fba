#include "packets/checksum.hpp"

namespace tarnvale::packets {

std::uint16_t internet_checksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    }
    if (i < bytes.size()) {
        sum += static_cast<std::uint32_t>(bytes[i] << 8);
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

}  // namespace tarnvale::packets
