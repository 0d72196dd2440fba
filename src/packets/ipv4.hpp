#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tarnvale::packets {

// An IPv4 address as a host-order number (192.0.2.7 is 0xC0000207).
using Ipv4 = std::uint32_t;

std::string to_text(Ipv4 address);

// Whether the address lies in network/prefix (for example 0xAC100000, 12 for 172.16.0.0/12).
constexpr bool in_network(Ipv4 address, Ipv4 network, unsigned prefix) {
    return prefix == 0 || (address >> (32 - prefix)) == (network >> (32 - prefix));
}

// Dotted-decimal text: four decimal numbers 0-255, nothing else.
std::optional<Ipv4> parse_ipv4(std::string_view text);

// The IPv4 header fields every builder writes: version 4, 20-byte header, the
// given total length, identification, flags, TTL and protocol, the addresses,
// and the header checksum.
struct Ipv4Header {
    std::uint16_t total_length;
    std::uint16_t identification;
    std::uint16_t flags_and_fragment;
    std::uint8_t ttl;
    std::uint8_t protocol;
    Ipv4 source;
    Ipv4 destination;
};

inline constexpr std::uint8_t protocol_icmp = 1;
inline constexpr std::uint8_t protocol_udp = 17;
inline constexpr std::uint16_t dont_fragment = 0x4000;

void write_ipv4_header(std::span<std::uint8_t, 20> out, const Ipv4Header& header);

// The UDP header with a zero checksum.
void write_udp_header(std::span<std::uint8_t, 8> out, std::uint16_t source_port, std::uint16_t destination_port,
                      std::uint16_t length);

}  // namespace tarnvale::packets
