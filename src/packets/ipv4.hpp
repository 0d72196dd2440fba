#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace tarnvale::packets {

// An IPv4 address. Its number reads as its dotted text does (192.0.2.7 is
// 0xC0000207) on any host; the wire's bytes and the words of the system's
// socket structures are converted only by the named functions below, so no
// address can be taken in the wrong byte order.
class Ipv4 {
public:
    constexpr Ipv4() = default;
    constexpr explicit Ipv4(std::uint32_t number) : number_(number) {}

    // The four bytes of an address as a header carries them.
    static Ipv4 from_wire(std::span<const std::uint8_t> bytes, std::size_t offset);
    // A word as the system's socket structures hold it (the wire's bytes in memory order).
    static Ipv4 from_network_word(std::uint32_t word);

    constexpr std::uint32_t number() const { return number_; }
    std::uint32_t network_word() const;

    constexpr auto operator<=>(const Ipv4&) const = default;

private:
    std::uint32_t number_ = 0;
};

std::string to_text(Ipv4 address);

// Whether the address lies in network/prefix (for example 172.16.0.0, 12).
constexpr bool in_network(Ipv4 address, Ipv4 network, unsigned prefix) {
    return prefix == 0 || (address.number() >> (32 - prefix)) == (network.number() >> (32 - prefix));
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
inline constexpr std::uint8_t protocol_tcp = 6;
inline constexpr std::uint8_t protocol_udp = 17;
inline constexpr std::uint8_t protocol_icmpv6 = 58;
inline constexpr std::uint16_t dont_fragment = 0x4000;
inline constexpr std::size_t ipv4_header_length = 20;  // without options, as every builder writes it
inline constexpr std::size_t udp_header_length = 8;

void write_ipv4_header(std::span<std::uint8_t, ipv4_header_length> out, const Ipv4Header& header);

// The UDP header with a zero checksum.
void write_udp_header(std::span<std::uint8_t, udp_header_length> out, std::uint16_t source_port,
                      std::uint16_t destination_port, std::uint16_t length);

}  // namespace tarnvale::packets

template <>
struct std::hash<tarnvale::packets::Ipv4> {
    std::size_t operator()(tarnvale::packets::Ipv4 address) const noexcept {
        return std::hash<std::uint32_t>{}(address.number());
    }
};
