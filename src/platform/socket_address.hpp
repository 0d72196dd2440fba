#pragma once

// Socket addresses of both families to and from the address type: the one
// place where an address meets the system's structures, on either system.
#ifdef _WIN32
#include "platform/windows/windows_api.hpp"
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>
#include <optional>
#include <span>

#include "packets/ip_address.hpp"

namespace tarnvale::platform {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// An IPv4 address (held mapped) as a sockaddr_in, any other as a sockaddr_in6.
inline SocketAddress socket_address(const packets::IpAddress& address, std::uint16_t port) {
    SocketAddress out;
    if (address.is_v4()) {
        sockaddr_in ipv4{};
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = htons(port);
        ipv4.sin_addr.s_addr = address.v4().network_word();
        std::memcpy(&out.storage, &ipv4, sizeof ipv4);
        out.length = sizeof ipv4;
    } else {
        sockaddr_in6 ipv6{};
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(port);
        std::memcpy(&ipv6.sin6_addr, address.octets().data(), address.octets().size());
        std::memcpy(&out.storage, &ipv6, sizeof ipv6);
        out.length = sizeof ipv6;
    }
    return out;
}

// The address of a sockaddr_in or sockaddr_in6 of `length` bytes; nothing for
// any other family or a structure cut short.
inline std::optional<packets::IpAddress> address_of(const sockaddr* address, std::size_t length) {
    if (address == nullptr) {
        return std::nullopt;
    }
    if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        sockaddr_in ipv4{};
        std::memcpy(&ipv4, address, sizeof ipv4);
        return packets::IpAddress(packets::Ipv4::from_network_word(ipv4.sin_addr.s_addr));
    }
    if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 ipv6{};
        std::memcpy(&ipv6, address, sizeof ipv6);
        return packets::IpAddress::from_wire(
            std::span(reinterpret_cast<const std::uint8_t*>(&ipv6.sin6_addr), sizeof ipv6.sin6_addr), 0);
    }
    return std::nullopt;
}

// The port of a sockaddr_in or sockaddr_in6 of `length` bytes, as address_of reads it.
inline std::optional<std::uint16_t> port_of(const sockaddr* address, std::size_t length) {
    if (address != nullptr && address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        sockaddr_in ipv4{};
        std::memcpy(&ipv4, address, sizeof ipv4);
        return ntohs(ipv4.sin_port);
    }
    if (address != nullptr && address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 ipv6{};
        std::memcpy(&ipv6, address, sizeof ipv6);
        return ntohs(ipv6.sin6_port);
    }
    return std::nullopt;
}

// Of a resolver's answers, the first IPv4 address, or the first IPv6 address
// when there is no IPv4 one.
inline std::optional<packets::IpAddress> preferred_address(const addrinfo* results) {
    std::optional<packets::IpAddress> first_ipv6;
    for (const addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
        const auto address = address_of(entry->ai_addr, static_cast<std::size_t>(entry->ai_addrlen));
        if (address && address->is_v4()) {
            return address;
        }
        if (address && !first_ipv6) {
            first_ipv6 = address;
        }
    }
    return first_ipv6;
}

}  // namespace tarnvale::platform
