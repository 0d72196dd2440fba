#include "platform/raw_sockets.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/icmp.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "packets/ports.hpp"
#include "platform/socket_address.hpp"

namespace tarnvale::platform {

namespace {

std::error_code last_error() { return std::error_code(errno, std::system_category()); }

int fd_of(const Socket& socket) { return static_cast<int>(socket.native()); }

Socket make_socket(int family, int protocol, int flags, std::error_code& error) {
    Socket socket(::socket(family, SOCK_RAW | SOCK_CLOEXEC | flags, protocol));
    if (!socket.valid()) {
        error = last_error();
        return socket;
    }
    error.clear();
    return socket;
}

int blocking_flag(Blocking blocking) { return blocking == Blocking::no ? SOCK_NONBLOCK : 0; }

}  // namespace

Socket open_raw_udp(Blocking blocking, std::error_code& error) {
    Socket socket = make_socket(AF_INET, IPPROTO_UDP, blocking_flag(blocking), error);
    const int on = 1;
    if (socket.valid() && ::setsockopt(fd_of(socket), IPPROTO_IP, IP_HDRINCL, &on, sizeof on) != 0) {
        error = last_error();
        return Socket();
    }
    return socket;
}

Socket open_raw_ipv6(Blocking blocking, std::error_code& error) {
    // Protocol "raw" implies that the sender supplies the header.
    return make_socket(AF_INET6, IPPROTO_RAW, blocking_flag(blocking), error);
}

Socket open_raw_icmp(std::error_code& error) { return make_socket(AF_INET, IPPROTO_ICMP, 0, error); }

Socket open_raw_icmpv6(std::error_code& error) { return make_socket(AF_INET6, IPPROTO_ICMPV6, 0, error); }

void receive_only_echo_replies(const Socket& socket, bool ipv6) {
    if (ipv6) {
        icmp6_filter filter{};
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
        ::setsockopt(fd_of(socket), IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
        return;
    }
    icmp_filter filter{};
    filter.data = ~(1U << ICMP_ECHOREPLY);  // a set bit blocks that type
    ::setsockopt(fd_of(socket), SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
}

std::error_code send_datagram(const Socket& socket, std::span<const std::uint8_t> bytes,
                              const packets::IpAddress& destination, std::uint16_t port) {
    const SocketAddress address = socket_address(destination, destination.is_v4() ? port : 0);
    for (;;) {
        const ssize_t sent = ::sendto(fd_of(socket), bytes.data(), bytes.size(), 0, address.get(), address.length);
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
    sockaddr_storage from{};
    socklen_t from_length = sizeof from;
    const ssize_t size = ::recvfrom(fd_of(socket), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                    reinterpret_cast<sockaddr*>(&from), &from_length);
    if (size < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            error = last_error();
        }
        return std::nullopt;
    }
    const auto source = address_of(reinterpret_cast<const sockaddr*>(&from), from_length);
    return Received{static_cast<std::size_t>(size), source.value_or(packets::IpAddress())};
}

packets::IpAddress source_address_for(const packets::IpAddress& target, std::error_code& error) {
    const packets::IpAddress loopback = packets::loopback_of_family(target);
    const ReservedPort lookup = reserve_port(Transport::udp, !target.is_v4(), error);
    if (error) {
        return loopback;
    }
    const SocketAddress remote = socket_address(target, packets::traceroute_base_port);
    if (::connect(fd_of(lookup.socket), remote.get(), remote.length) != 0) {
        error = last_error();  // no route toward the target
        return loopback;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd_of(lookup.socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return loopback;
    }
    return address_of(reinterpret_cast<const sockaddr*>(&local), length).value_or(loopback);
}

ReservedPort reserve_port(Transport transport, bool ipv6, std::error_code& error) {
    const bool udp = transport == Transport::udp;
    ReservedPort reserved{Socket(::socket(ipv6 ? AF_INET6 : AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC,
                                          udp ? IPPROTO_UDP : IPPROTO_TCP)),
                          0};
    const SocketAddress any = socket_address(ipv6 ? packets::IpAddress() : packets::IpAddress(packets::Ipv4()), 0);
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (!reserved.socket.valid() || ::bind(fd_of(reserved.socket), any.get(), any.length) != 0 ||
        ::getsockname(fd_of(reserved.socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        error = last_error();
        return {};
    }
    error.clear();
    reserved.port = port_of(reinterpret_cast<const sockaddr*>(&local), static_cast<std::size_t>(length)).value_or(0);
    return reserved;
}

bool raw_sockets_send_tcp() { return true; }

std::optional<packets::IpAddress> resolve_address(const std::string& target) {
    if (const auto address = packets::parse_ip_address(target)) {
        return address;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    addrinfo* results = nullptr;
    if (::getaddrinfo(target.c_str(), "0", &hints, &results) != 0) {
        return std::nullopt;
    }
    const auto preferred = preferred_address(results);
    ::freeaddrinfo(results);
    return preferred;
}

}  // namespace tarnvale::platform
