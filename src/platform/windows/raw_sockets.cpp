#include "platform/raw_sockets.hpp"
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

sockaddr_in socket_address(packets::Ipv4 address, std::uint16_t port) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = ::htons(port);
    out.sin_addr.s_addr = address.network_word();
    return out;
}

SOCKET handle_of(const Socket& socket) { return static_cast<SOCKET>(socket.native()); }

Socket make_socket(int protocol) {
    start_winsock();
    constexpr DWORD overlapped_not_inherited = WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT;  // 0x81
    const SOCKET raw = ::WSASocketW(AF_INET, SOCK_RAW, protocol, nullptr, 0, overlapped_not_inherited);
    return raw == INVALID_SOCKET ? Socket() : Socket(static_cast<std::intptr_t>(raw));
}

}  // namespace

Socket open_raw_udp(Blocking blocking, std::error_code& error) {
    Socket socket = make_socket(IPPROTO_UDP);
    if (!socket.valid()) {
        error = last_socket_error();
        return socket;
    }
    u_long non_blocking = blocking == Blocking::no ? 1 : 0;
    if (::ioctlsocket(handle_of(socket), FIONBIO, &non_blocking) != 0) {
        error = last_socket_error();
        return Socket();
    }
    const char on = 1;
    if (::setsockopt(handle_of(socket), IPPROTO_IP, IP_HDRINCL, &on, sizeof on) != 0) {
        error = last_socket_error();
        return Socket();
    }
    error.clear();
    return socket;
}

Socket open_raw_icmp(std::error_code& error) {
    Socket socket = make_socket(IPPROTO_ICMP);
    if (!socket.valid()) {
        error = last_socket_error();
        return socket;
    }
    error.clear();
    return socket;
}

// Windows has no per-type ICMP filter; the pinger matches replies itself.
void receive_only_echo_replies(const Socket& /*socket*/) {}

std::error_code send_datagram(const Socket& socket, std::span<const std::uint8_t> bytes, packets::Ipv4 destination,
                              std::uint16_t port) {
    const sockaddr_in address = socket_address(destination, port);
    if (::sendto(handle_of(socket), reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
        return last_socket_error();
    }
    return {};
}

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
    sockaddr_in from{};
    int from_length = sizeof from;
    const int size = ::recvfrom(handle_of(socket), reinterpret_cast<char*>(buffer.data()),
                                static_cast<int>(buffer.size()), 0, reinterpret_cast<sockaddr*>(&from), &from_length);
    if (size == SOCKET_ERROR) {
        const int code = ::WSAGetLastError();
        // A message longer than the buffer arrives cut to its size: still a datagram.
        if (code == WSAEMSGSIZE) {
            return Received{buffer.size(), packets::Ipv4::from_network_word(from.sin_addr.s_addr)};
        }
        if (code != WSAEWOULDBLOCK) {
            error = std::error_code(code, std::system_category());
        }
        return std::nullopt;
    }
    return Received{static_cast<std::size_t>(size), packets::Ipv4::from_network_word(from.sin_addr.s_addr)};
}

packets::Ipv4 source_address_for(packets::Ipv4 target, std::error_code& bind_error) {
    constexpr packets::Ipv4 loopback(0x7F000001);
    start_winsock();
    const Socket lookup(static_cast<std::intptr_t>(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)));
    const sockaddr_in any = socket_address(packets::Ipv4(), 0);
    if (static_cast<SOCKET>(lookup.native()) == INVALID_SOCKET ||
        ::bind(handle_of(lookup), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        bind_error = last_socket_error();
        return loopback;
    }
    bind_error.clear();
    const sockaddr_in remote = socket_address(target, 33434);
    ::connect(handle_of(lookup), reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
    sockaddr_in local{};
    int length = sizeof local;
    if (::getsockname(handle_of(lookup), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET) {
        return loopback;
    }
    return packets::Ipv4::from_network_word(local.sin_addr.s_addr);
}

std::optional<packets::Ipv4> resolve_ipv4(const std::string& target) {
    if (const auto address = packets::parse_ipv4(target)) {
        return address;
    }
    start_winsock();
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
