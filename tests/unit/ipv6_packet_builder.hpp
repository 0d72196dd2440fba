#pragma once

// IPv6 packets for tests: a fixed header between two test-network addresses,
// a chain of extension headers, and an upper-layer header with its ports.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "packets/byte_order.hpp"
#include "packets/ip_address.hpp"

namespace tarnvale::test_packets {

using Bytes = std::vector<std::uint8_t>;

inline packets::IpAddress address(std::string_view text) { return packets::parse_ip_address(text).value(); }

inline constexpr std::uint8_t hop_by_hop = 0;
inline constexpr std::uint8_t routing = 43;
inline constexpr std::uint8_t fragment = 44;
inline constexpr std::uint8_t esp = 50;
inline constexpr std::uint8_t authentication = 51;
inline constexpr std::uint8_t destination_options = 60;

struct Extension {
    std::uint8_t type;
    std::size_t length;               // in bytes, as the header's length field will say
    std::uint16_t fragment_word = 0;  // for a fragment header: offset and flags
};

// An IPv6 packet from 2001:db8:1::10 to 2001:db8:113::10 whose chain is the
// extensions and then `upper` with a header of `upper_bytes` bytes beginning
// with ports 40000 and 443. The payload length covers it all unless given.
inline Bytes packet(const std::vector<Extension>& extensions, std::uint8_t upper, std::size_t upper_bytes = 20,
                    std::optional<std::uint16_t> payload_length = std::nullopt) {
    Bytes bytes(40, 0);
    bytes[0] = 0x60;
    bytes[7] = 64;
    const auto source = address("2001:db8:1::10").octets();
    const auto destination = address("2001:db8:113::10").octets();
    std::copy(source.begin(), source.end(), bytes.begin() + 8);
    std::copy(destination.begin(), destination.end(), bytes.begin() + 24);
    std::size_t next_offset = 6;
    for (const Extension& extension : extensions) {
        bytes[next_offset] = extension.type;
        const std::size_t at = bytes.size();
        bytes.resize(at + extension.length, 0);
        if (extension.type == authentication) {
            bytes[at + 1] = static_cast<std::uint8_t>(extension.length / 4 - 2);
        } else if (extension.type == fragment) {
            packets::write_u16(bytes, at + 2, extension.fragment_word);
        } else {
            bytes[at + 1] = static_cast<std::uint8_t>(extension.length / 8 - 1);
        }
        next_offset = at;
    }
    bytes[next_offset] = upper;
    const std::size_t at = bytes.size();
    bytes.resize(at + upper_bytes, 0);
    if (upper_bytes >= 4) {
        packets::write_u16(bytes, at, 40000);
        packets::write_u16(bytes, at + 2, 443);
    }
    packets::write_u16(bytes, 4, payload_length.value_or(static_cast<std::uint16_t>(bytes.size() - 40)));
    return bytes;
}

}  // namespace tarnvale::test_packets
