#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "packets/ipv4.hpp"

namespace tarnvale::packets {

// An IPv4 or IPv6 address as its 16 bytes in the wire's order. An IPv4
// address is held in its IPv4-mapped form (::ffff:a.b.c.d): both families
// share one key, and a dual-stack socket's mapped address is the IPv4 address
// its packets carry.
class IpAddress {
public:
    using Octets = std::array<std::uint8_t, 16>;

    constexpr IpAddress() = default;  // ::, the unspecified IPv6 address
    constexpr explicit IpAddress(Ipv4 address)
        : octets_{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, static_cast<std::uint8_t>(address.number() >> 24),
                  static_cast<std::uint8_t>(address.number() >> 16), static_cast<std::uint8_t>(address.number() >> 8),
                  static_cast<std::uint8_t>(address.number())} {}
    static constexpr IpAddress from_octets(const Octets& octets) {
        IpAddress address;
        address.octets_ = octets;
        return address;
    }
    // The sixteen bytes of an IPv6 address as a header or a socket structure carries them.
    static IpAddress from_wire(std::span<const std::uint8_t> bytes, std::size_t offset);

    constexpr bool is_v4() const {
        for (std::size_t index = 0; index < 10; ++index) {
            if (octets_[index] != 0) {
                return false;
            }
        }
        return octets_[10] == 0xFF && octets_[11] == 0xFF;
    }
    // The IPv4 address of a mapped one; meaningless for any other.
    constexpr Ipv4 v4() const {
        return Ipv4(std::uint32_t{octets_[12]} << 24 | std::uint32_t{octets_[13]} << 16 |
                    std::uint32_t{octets_[14]} << 8 | octets_[15]);
    }
    constexpr const Octets& octets() const { return octets_; }

    constexpr auto operator<=>(const IpAddress&) const = default;

private:
    Octets octets_{};
};

inline constexpr IpAddress ipv6_loopback =
    IpAddress::from_octets({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});

// Dotted text for an IPv4 address, the shortest IPv6 text (RFC 5952) for any other.
std::string to_text(const IpAddress& address);

// Dotted IPv4 text, or IPv6 text in any of its forms (no zone).
std::optional<IpAddress> parse_ip_address(std::string_view text);

// Whether the address lies in network/prefix, prefix counted over the 128 bits
// (an IPv4 network of prefix p is p + 96 in its mapped form).
bool in_network(const IpAddress& address, const IpAddress& network, unsigned prefix);

// 127.0.0.0/8 or ::1.
bool is_loopback(const IpAddress& address);

// The loopback address of the address's family: 127.0.0.1 or ::1.
IpAddress loopback_of_family(const IpAddress& address);

}  // namespace tarnvale::packets

template <>
struct std::hash<tarnvale::packets::IpAddress> {
    std::size_t operator()(const tarnvale::packets::IpAddress& address) const noexcept;
};
