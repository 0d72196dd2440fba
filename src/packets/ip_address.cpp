#include "packets/ip_address.hpp"

#include <asio/ip/address.hpp>
#include <algorithm>
#include <cstring>

namespace tarnvale::packets {

IpAddress IpAddress::from_wire(std::span<const std::uint8_t> bytes, std::size_t offset) {
    Octets octets;
    std::memcpy(octets.data(), bytes.subspan(offset, octets.size()).data(), octets.size());
    return from_octets(octets);
}

std::string to_text(const IpAddress& address) {
    if (address.is_v4()) {
        return to_text(address.v4());
    }
    return asio::ip::address_v6(address.octets()).to_string();
}

std::optional<IpAddress> parse_ip_address(std::string_view text) {
    if (const auto v4 = parse_ipv4(text)) {
        return IpAddress(*v4);
    }
    asio::error_code error;
    const auto parsed = asio::ip::make_address_v6(std::string(text), error);
    if (error || parsed.scope_id() != 0) {
        return std::nullopt;
    }
    return IpAddress::from_octets(parsed.to_bytes());
}

bool in_network(const IpAddress& address, const IpAddress& network, unsigned prefix) {
    prefix = std::min(prefix, 128U);
    const auto& mine = address.octets();
    const auto& theirs = network.octets();
    const unsigned whole = prefix / 8;
    if (std::memcmp(mine.data(), theirs.data(), whole) != 0) {
        return false;
    }
    const unsigned rest = prefix % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return (mine[whole] & mask) == (theirs[whole] & mask);
}

bool is_loopback(const IpAddress& address) {
    return address.is_v4() ? in_network(address.v4(), Ipv4(0x7F000000), 8) : address == ipv6_loopback;
}

IpAddress loopback_of_family(const IpAddress& address) {
    return address.is_v4() ? IpAddress(Ipv4(0x7F000001)) : ipv6_loopback;
}

}  // namespace tarnvale::packets

std::size_t std::hash<tarnvale::packets::IpAddress>::operator()(
    const tarnvale::packets::IpAddress& address) const noexcept {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, address.octets().data(), sizeof(high));
    std::memcpy(&low, address.octets().data() + sizeof(high), sizeof(low));
    std::uint64_t mixed = low ^ (high * 0x9E3779B97F4A7C15ULL);
    mixed ^= mixed >> 32;
    return static_cast<std::size_t>(mixed);
}
