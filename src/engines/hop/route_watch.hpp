#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "engines/bounded_history.hpp"
#include "packets/ip_address.hpp"
#include "runtime/thread_queue.hpp"

// Which router answers at each TTL, and when that router is replaced. Per-flow
// load balancing makes one TTL answer from two or more addresses in turn: that
// is one route, not a change. A router added, removed or replaced makes a new
// address answer every probe at that TTL from then on.
namespace tarnvale::engines::hop {

// A new address must answer this many probes at a TTL in a row...
inline constexpr std::size_t change_run_length = 3;
// ...and none of this many answers at that TTL before them.
inline constexpr std::size_t change_lookback = 20;

struct RouteChange {
    std::uint8_t hop;
    packets::IpAddress old_addr;
    packets::IpAddress new_addr;
};

// The confirmed router of each TTL, from the sources of the matched answers to
// TTL probes, one at a time, in the order they came.
class RouteWatch {
public:
    // A confirmed change when this answer confirms one; the first address seen
    // at a TTL is adopted without one.
    std::optional<RouteChange> observe(std::uint8_t ttl, packets::IpAddress source);

    std::optional<packets::IpAddress> router(std::uint8_t ttl) const;
    // The address whose run of answers at this TTL is under way: the newest
    // answer, when another router than the confirmed one gave it.
    std::optional<packets::IpAddress> challenger(std::uint8_t ttl) const;

private:
    struct TtlRoute {
        packets::IpAddress confirmed;
        BoundedHistory<packets::IpAddress> answers{change_lookback + change_run_length};  // newest last
    };

    std::map<std::uint8_t, TtlRoute> routes_;
};

// Changes on their way from the receiver thread to the reporter, which tells
// the client and the aggregator of them at its next cycle.
using RouteChangeQueue = runtime::ThreadQueue<RouteChange>;
inline constexpr std::size_t route_change_queue_capacity = 256;

}  // namespace tarnvale::engines::hop
