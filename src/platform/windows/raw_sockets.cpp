#include "platform/raw_sockets.hpp"

#include "packets/ports.hpp"
#include "platform/socket_address.hpp"
#include "platform/windows/windows_api.hpp"

namespace tarnvale::platform {

namespace {

// Winsock is started once for the process (reference counted by the system,
// so the runtime starting it too does no harm).
void start_winsock() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

SOCKET handle_of(const Socket& socket) { return static_cast<SOCKET>(socket.native()); }

Socket make_socket(int family, int protocol) {
    start_winsock();
    constexpr DWORD overlapped_not_inherited = WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT;  // 0x81
    const SOCKET raw = ::WSASocketW(family, SOCK_RAW, protocol, nullptr, 0, overlapped_not_inherited);
    return raw == INVALID_SOCKET ? Socket() : Socket(static_cast<std::intptr_t>(raw));
}

// A raw socket whose sender supplies the IP header (the option at `level`).
Socket open_header_included(int family, int level, int option, Blocking blocking, std::error_code& error) {
    Socket socket = make_socket(family, IPPROTO_UDP);
    if (!socket.valid()) {
        error = last_socket_error();
        return socket;
    }
    u_long non_blocking = blocking == Blocking::no ? 1 : 0;
    if (::ioctlsocket(handle_of(socket), FIONBIO, &non_blocking) != 0) {
        error = last_socket_error();
        return Socket();
    }
    const DWORD on = 1;
    if (::setsockopt(handle_of(socket), level, option, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        error = last_socket_error();
        return Socket();
    }
    error.clear();
    return socket;
}

Socket open_icmp(int family, int protocol, std::error_code& error) {
    Socket socket = make_socket(family, protocol);
    if (!socket.valid()) {
        error = last_socket_error();
        return socket;
    }
    error.clear();
    return socket;
}

}  // namespace

Socket open_raw_udp(Blocking blocking, std::error_code& error) {
    return open_header_included(AF_INET, IPPROTO_IP, IP_HDRINCL, blocking, error);
}

Socket open_raw_ipv6(Blocking blocking, std::error_code& error) {
    return open_header_included(AF_INET6, IPPROTO_IPV6, IPV6_HDRINCL, blocking, error);
}

Socket open_raw_icmp(std::error_code& error) { return open_icmp(AF_INET, IPPROTO_ICMP, error); }

Socket open_raw_icmpv6(std::error_code& error) { return open_icmp(AF_INET6, IPPROTO_ICMPV6, error); }

// Windows has no per-type ICMP filter; the pinger matches replies itself.
void receive_only_echo_replies(const Socket& /*socket*/, bool /*ipv6*/) {}

std::error_code send_datagram(const Socket& socket, std::span<const std::uint8_t> bytes,
                              const packets::IpAddress& destination, std::uint16_t port) {
    const SocketAddress address = socket_address(destination, destination.is_v4() ? port : 0);
    if (::sendto(handle_of(socket), reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
                 address.get(), address.length) == SOCKET_ERROR) {
        return last_socket_error();
    }
    return {};
}

namespace {

packets::IpAddress source_of(const sockaddr_storage& from, int length) {
    return address_of(reinterpret_cast<const sockaddr*>(&from), static_cast<std::size_t>(length))
        .value_or(packets::IpAddress());
}

}  // namespace

std::optional<Received> receive_datagram(const Socket& socket, std::span<std::uint8_t> buffer,
                                         std::chrono::milliseconds timeout, std::error_code& error) {
    error.clear();
    WSAPOLLFD ready{handle_of(socket), POLLRDNORM, 0};
    const int polled = ::WSAPoll(&ready, 1, static_cast<INT>(timeout.count()));
    if (polled == 0) {
        return std::nullopt;
    }
    if (polled == SOCKET_ERROR) {
        error = last_socket_error();
        return std::nullopt;
    }
    sockaddr_storage from{};
    int from_length = sizeof from;
    const int size = ::recvfrom(handle_of(socket), reinterpret_cast<char*>(buffer.data()),
                                static_cast<int>(buffer.size()), 0, reinterpret_cast<sockaddr*>(&from), &from_length);
    if (size == SOCKET_ERROR) {
        const int code = ::WSAGetLastError();
        // A message longer than the buffer arrives cut to its size: still a datagram.
        if (code == WSAEMSGSIZE) {
            return Received{buffer.size(), source_of(from, from_length)};
        }
        if (code != WSAEWOULDBLOCK) {
            error = std::error_code(code, std::system_category());
        }
        return std::nullopt;
    }
    return Received{static_cast<std::size_t>(size), source_of(from, from_length)};
}

packets::IpAddress source_address_for(const packets::IpAddress& target, std::error_code& error) {
    const packets::IpAddress loopback = packets::loopback_of_family(target);
    const ReservedPort lookup = reserve_port(Transport::udp, !target.is_v4(), error);
    if (error) {
        return loopback;
    }
    const SocketAddress remote = socket_address(target, packets::traceroute_base_port);
    if (::connect(handle_of(lookup.socket), remote.get(), remote.length) != 0) {
        error = last_socket_error();  // no route toward the target
        return loopback;
    }
    sockaddr_storage local{};
    int length = sizeof local;
    if (::getsockname(handle_of(lookup.socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return loopback;
    }
    return address_of(reinterpret_cast<const sockaddr*>(&local), static_cast<std::size_t>(length)).value_or(loopback);
}

ReservedPort reserve_port(Transport transport, bool ipv6, std::error_code& error) {
    start_winsock();
    const bool udp = transport == Transport::udp;
    ReservedPort reserved{
        Socket(static_cast<std::intptr_t>(
            ::socket(ipv6 ? AF_INET6 : AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, udp ? IPPROTO_UDP : IPPROTO_TCP))),
        0};
    const SocketAddress any = socket_address(ipv6 ? packets::IpAddress() : packets::IpAddress(packets::Ipv4()), 0);
    sockaddr_storage local{};
    int length = sizeof local;
    if (!(static_cast<SOCKET>(reserved.socket.native()) != INVALID_SOCKET) ||
        ::bind(handle_of(reserved.socket), any.get(), any.length) != 0 ||
        ::getsockname(handle_of(reserved.socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        error = last_socket_error();
        return {};
    }
    error.clear();
    reserved.port = port_of(reinterpret_cast<const sockaddr*>(&local), static_cast<std::size_t>(length)).value_or(0);
    return reserved;
}

// Windows client versions refuse TCP data on raw sockets.
bool raw_sockets_send_tcp() { return false; }

std::optional<packets::IpAddress> resolve_address(const std::string& target) {
    if (const auto address = packets::parse_ip_address(target)) {
        return address;
    }
    start_winsock();
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
