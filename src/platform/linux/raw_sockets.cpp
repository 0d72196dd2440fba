#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/icmp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/raw_sockets.hpp"

namespace tarnvale::platform {

namespace {

std::error_code last_error() { return std::error_code(errno, std::system_category()); }

sockaddr_in socket_address(packets::Ipv4 address, std::uint16_t port) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    out.sin_addr.s_addr = address.network_word();
    return out;
}

int fd_of(const Socket& socket) { return static_cast<int>(socket.native()); }

}  // namespace

Socket open_raw_udp(Blocking blocking, std::error_code& error) {
    const int type = SOCK_RAW | SOCK_CLOEXEC | (blocking == Blocking::no ? SOCK_NONBLOCK : 0);
    Socket socket(::socket(AF_INET, type, IPPROTO_UDP));
    if (!socket.valid()) {
        error = last_error();
        return socket;
    }
    const int on = 1;
    if (::setsockopt(fd_of(socket), IPPROTO_IP, IP_HDRINCL, &on, sizeof on) != 0) {
        error = last_error();
        return Socket();
    }
    error.clear();
    return socket;
}

Socket open_raw_icmp(std::error_code& error) {
    Socket socket(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (!socket.valid()) {
        error = last_error();
        return socket;
    }
    error.clear();
    return socket;
}

void receive_only_echo_replies(const Socket& socket) {
    icmp_filter filter{};
    filter.data = ~(1U << ICMP_ECHOREPLY);  // a set bit blocks that type
    ::setsockopt(fd_of(socket), SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
}

std::error_code send_datagram(const Socket& socket, std::span<const std::uint8_t> bytes, packets::Ipv4 destination,
                              std::uint16_t port) {
    const sockaddr_in address = socket_address(destination, port);
    for (;;) {
        const ssize_t sent = ::sendto(fd_of(socket), bytes.data(), bytes.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (sent >= 0) {
            return {};
        }
        if (errno != EINTR) {
            return last_error();
        }
    }
}

std::optional<Received> receive_datagram(const Socket& socket, std::span<std::uint8_t> buffer,
                                         std::chrono::milliseconds timeout, std::error_code& error) {
    error.clear();
    pollfd ready{fd_of(socket), POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(timeout.count()));
    if (polled == 0) {
        return std::nullopt;
    }
    if (polled < 0) {
        error = last_error();
        return std::nullopt;
    }
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    const ssize_t size = ::recvfrom(fd_of(socket), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                    reinterpret_cast<sockaddr*>(&from), &from_length);
    if (size < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            error = last_error();
        }
        return std::nullopt;
    }
    return Received{static_cast<std::size_t>(size), packets::Ipv4::from_network_word(from.sin_addr.s_addr)};
}

packets::Ipv4 source_address_for(packets::Ipv4 target, std::error_code& bind_error) {
    constexpr packets::Ipv4 loopback(0x7F000001);
    const Socket lookup(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    const sockaddr_in any = socket_address(packets::Ipv4(), 0);
    if (!lookup.valid() || ::bind(fd_of(lookup), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        bind_error = last_error();
        return loopback;
    }
    bind_error.clear();
    const sockaddr_in remote = socket_address(target, 33434);
    ::connect(fd_of(lookup), reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd_of(lookup), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET) {
        return loopback;
    }
    return packets::Ipv4::from_network_word(local.sin_addr.s_addr);
}

std::optional<packets::Ipv4> resolve_ipv4(const std::string& target) {
    if (const auto address = packets::parse_ipv4(target)) {
        return address;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    addrinfo* results = nullptr;
    if (::getaddrinfo(target.c_str(), "0", &hints, &results) != 0) {
        return std::nullopt;
    }
    std::optional<packets::Ipv4> first;
    for (const addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            first = packets::Ipv4::from_network_word(address->sin_addr.s_addr);
            break;
        }
    }
    ::freeaddrinfo(results);
    return first;
}

}  // namespace tarnvale::platform
