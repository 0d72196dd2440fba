#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <system_error>

#include "packets/ip_address.hpp"

// What the system says when the host's network changes: an interface's link
// going up or down or going away, an address or a route coming or going.
namespace tarnvale::platform {

enum class NoticeSubject : std::uint8_t {
    link,
    address,
    route,
    lost,    // the system dropped notices (its queue overflowed): everything may have changed
    failed,  // the watch can no longer read notices and has ended; `error` says why
};

// A link is up or down (or removed when it is gone); addresses and routes are added or removed.
enum class NoticeChange : std::uint8_t { added, removed, up, down };

enum class NoticeFamily : std::uint8_t { unspecified, ipv4, ipv6 };

struct NetworkNotice {
    NoticeSubject subject = NoticeSubject::lost;
    NoticeChange change = NoticeChange::added;
    // Part of the state as it stood when the watch opened, not a change: what a
    // later notice is compared with.
    bool snapshot = false;
    std::uint32_t interface_index = 0;
    NoticeFamily family = NoticeFamily::unspecified;

    // Links: the host's own loopback interface.
    bool loopback = false;

    // Addresses: the interface's address; routes: the destination network.
    packets::IpAddress address;
    std::uint8_t prefix_length = 0;

    // Addresses: usable as a source (not still being checked for duplicates,
    // nor found to be a duplicate), and whether new connections should avoid it.
    bool usable = true;
    bool deprecated = false;
    // Addresses valid only on their link or only inside the host (fe80::/10, ::1, 127/8).
    bool link_local = false;
    bool host_only = false;

    // Routes: in the table the system picks paths from (Linux's main table;
    // Windows' one table), and an ordinary unicast route in it (not local,
    // broadcast, multicast, unreachable or a cached exception).
    bool main_table = false;
    bool unicast = false;
    bool default_route = false;

    // Lost and failed notices: what the system reported.
    std::error_code error;
};

// fe80::/10 and 169.254.0.0/16: addresses that reach only their own link.
inline bool is_link_local_address(const packets::IpAddress& address) {
    const auto& octets = address.octets();
    return address.is_v4() ? octets[12] == 169 && octets[13] == 254 : octets[0] == 0xFE && (octets[1] & 0xC0) == 0x80;
}

using NetworkNoticeHandler = std::function<void(std::span<const NetworkNotice>)>;

// Watches the host's network for changes for as long as it lives. The handler
// gets the snapshot first, then the notices as they come, one call at a time:
// on the watch's own thread (Linux) or on the system's notification threads
// (Windows). Destroying the watch stops it and returns once no call of the
// handler is running: the handler must not destroy its own watch, nor may the
// watch be destroyed by a thread that holds a lock the handler takes.
class NetworkChangeWatch {
public:
    struct State;

    NetworkChangeWatch();  // watches nothing
    explicit NetworkChangeWatch(std::unique_ptr<State> state);
    NetworkChangeWatch(NetworkChangeWatch&&) noexcept;
    NetworkChangeWatch& operator=(NetworkChangeWatch&&) noexcept;
    ~NetworkChangeWatch();

    bool watching() const { return state_ != nullptr; }

private:
    std::unique_ptr<State> state_;
};

// An empty watch and `error` set when the system refuses to watch.
NetworkChangeWatch open_network_change_watch(NetworkNoticeHandler on_notices, std::error_code& error);

}  // namespace tarnvale::platform
