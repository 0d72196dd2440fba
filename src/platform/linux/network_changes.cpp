#include "platform/network_changes.hpp"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <future>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/handle.hpp"
#include "platform/linux/netlink_notices.hpp"
#include "platform/process.hpp"

namespace tarnvale::platform {

namespace {

constexpr std::uint32_t watched_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_IFADDR |
                                         RTMGRP_IPV6_ROUTE;
// A device swap or a link flap brings a few dozen notices at once; a large
// queue keeps them from overflowing while the handler runs.
constexpr int receive_buffer_bytes = 1 << 20;
constexpr std::size_t datagram_bytes = 64 * 1024;

std::error_code last_error() { return std::error_code(errno, std::system_category()); }

OwnedFile open_netlink(std::uint32_t groups, std::error_code& error) {
    OwnedFile socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!socket.valid()) {
        error = last_error();
        return {};
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    const int buffer = receive_buffer_bytes;
    if (::setsockopt(static_cast<int>(socket.native()), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer) != 0 ||
        ::bind(static_cast<int>(socket.native()), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        error = last_error();
        return {};
    }
    return socket;
}

// One datagram from the kernel; a datagram larger than the buffer is an error
// (EMSGSIZE), since its cut-off notices would be lost unseen.
std::size_t receive_from_kernel(int socket, std::vector<std::uint8_t>& buffer, std::error_code& error) {
    for (;;) {
        sockaddr_nl sender{};
        socklen_t sender_size = sizeof sender;
        const ssize_t received = ::recvfrom(socket, buffer.data(), buffer.size(), MSG_TRUNC,
                                            reinterpret_cast<sockaddr*>(&sender), &sender_size);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = last_error();
            return 0;
        }
        if (static_cast<std::size_t>(received) > buffer.size()) {
            error = std::make_error_code(std::errc::message_size);
            return 0;
        }
        // Only the kernel speaks for the routing tables.
        if (sender.nl_pid == 0) {
            return static_cast<std::size_t>(received);
        }
    }
}

// The links or addresses of the host as they stand, read through a socket of
// their own so that no notification is mixed in.
void read_snapshot(std::uint16_t request_type, std::vector<NetworkNotice>& notices, std::error_code& error) {
    OwnedFile socket = open_netlink(0, error);
    if (error) {
        return;
    }
    constexpr std::uint32_t sequence = 1;
    struct {
        nlmsghdr header;
        ifinfomsg body;  // the larger of the two requests' bodies; AF_UNSPEC asks for every family
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = request_type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    request.body.ifi_family = AF_UNSPEC;
    const int fd = static_cast<int>(socket.native());
    if (::send(fd, &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request)) {
        error = last_error();
        return;
    }
    std::vector<std::uint8_t> buffer(datagram_bytes);
    for (bool done = false; !done;) {
        const std::size_t size = receive_from_kernel(fd, buffer, error);
        if (error) {
            return;
        }
        const std::span<const std::uint8_t> datagram(buffer.data(), size);
        for_each_netlink_message(datagram, [&](const NetlinkMessage& message) {
            if (message.sequence != sequence) {
                return;
            }
            if (message.type == NLMSG_DONE) {
                done = true;
            } else if (message.type == NLMSG_ERROR) {
                nlmsgerr answer{};
                std::memcpy(&answer, message.payload.data(), std::min(sizeof answer, message.payload.size()));
                error = std::error_code(answer.error < 0 ? -answer.error : EPROTO, std::system_category());
                done = true;
            }
        });
        const auto parsed = parse_netlink_notices(datagram);
        notices.insert(notices.end(), parsed.begin(), parsed.end());
    }
}

NetworkNotice trouble_notice(NoticeSubject subject, std::error_code error) {
    NetworkNotice notice;
    notice.subject = subject;
    notice.error = error;
    return notice;
}

}  // namespace

struct NetworkChangeWatch::State {
    OwnedFile netlink;
    OwnedFile stop;  // an eventfd the destructor writes to wake the thread
    std::thread reader;

    ~State() {
        if (!reader.joinable()) {
            return;
        }
        const std::uint64_t one = 1;
        // The eventfd's counter cannot overflow from one write, so the write cannot fail.
        [[maybe_unused]] const auto written = ::write(static_cast<int>(stop.native()), &one, sizeof one);
        reader.join();
    }

    // Delivers the snapshot, then each datagram's notices, until stopped or
    // until the socket fails. An overflow of the socket's queue (ENOBUFS) is
    // reported as lost notices and reading goes on; any other error is
    // reported as the watch's failure and ends the thread.
    void read(const NetworkNoticeHandler& on_notices, std::vector<NetworkNotice> snapshot, std::promise<void>& named) {
        name_current_thread("network-watch");
        named.set_value();
        if (!snapshot.empty()) {
            on_notices(snapshot);
        }
        std::vector<std::uint8_t> buffer(datagram_bytes);
        std::array<pollfd, 2> waits{pollfd{static_cast<int>(netlink.native()), POLLIN, 0},
                                    pollfd{static_cast<int>(stop.native()), POLLIN, 0}};
        for (;;) {
            if (::poll(waits.data(), waits.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                const NetworkNotice failed = trouble_notice(NoticeSubject::failed, last_error());
                on_notices({&failed, 1});
                return;
            }
            if (waits[1].revents != 0) {
                return;
            }
            std::error_code error;
            const std::size_t size = receive_from_kernel(static_cast<int>(netlink.native()), buffer, error);
            if (error == std::errc::no_buffer_space || error == std::errc::message_size) {
                const NetworkNotice lost = trouble_notice(NoticeSubject::lost, error);
                on_notices({&lost, 1});
                continue;
            }
            if (error) {
                const NetworkNotice failed = trouble_notice(NoticeSubject::failed, error);
                on_notices({&failed, 1});
                return;
            }
            const auto notices = parse_netlink_notices({buffer.data(), size});
            if (!notices.empty()) {
                on_notices(notices);
            }
        }
    }
};

NetworkChangeWatch::NetworkChangeWatch() = default;
NetworkChangeWatch::NetworkChangeWatch(std::unique_ptr<State> state) : state_(std::move(state)) {}
NetworkChangeWatch::NetworkChangeWatch(NetworkChangeWatch&&) noexcept = default;
NetworkChangeWatch& NetworkChangeWatch::operator=(NetworkChangeWatch&&) noexcept = default;
NetworkChangeWatch::~NetworkChangeWatch() = default;

NetworkChangeWatch open_network_change_watch(NetworkNoticeHandler on_notices, std::error_code& error) {
    auto state = std::make_unique<NetworkChangeWatch::State>();
    // Subscribed before the snapshot is read, so that no change falls between the two.
    state->netlink = open_netlink(watched_groups, error);
    if (error) {
        return {};
    }
    std::vector<NetworkNotice> snapshot;
    read_snapshot(RTM_GETLINK, snapshot, error);
    if (!error) {
        read_snapshot(RTM_GETADDR, snapshot, error);
    }
    if (error) {
        return {};
    }
    state->stop = OwnedFile(::eventfd(0, EFD_CLOEXEC));
    if (!state->stop.valid()) {
        error = last_error();
        return {};
    }
    // The opener waits for the thread to take its name: a process that lists
    // its threads after the watch is open sees it by that name.
    std::promise<void> named;
    std::future<void> thread_named = named.get_future();
    try {
        state->reader = std::thread([raw = state.get(), handler = std::move(on_notices), first = std::move(snapshot),
                                     &named]() mutable { raw->read(handler, std::move(first), named); });
    } catch (const std::system_error& refused) {
        error = refused.code();
        return {};
    }
    thread_named.wait();
    return NetworkChangeWatch(std::move(state));
}

}  // namespace tarnvale::platform
