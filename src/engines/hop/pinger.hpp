#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "engines/hop/hop_table.hpp"
#include "engines/hop/queue_delay.hpp"
#include "engines/path_route.hpp"
#include "engines/send_failures.hpp"
#include "runtime/stop_flag.hpp"
#include "runtime/thread_queue.hpp"

namespace tarnvale::engines::hop {

// A reply to a probe with this TTL came from this address.
struct HopSighting {
    std::uint8_t ttl;
    packets::IpAddress addr;
    // The router this one replaced at the TTL, on a confirmed route change: no
    // longer pinged there.
    std::optional<packets::IpAddress> replaces = std::nullopt;
};

using SightingQueue = runtime::ThreadQueue<HopSighting>;
inline constexpr std::size_t sighting_queue_capacity = 256;

// How often the pinger pings every router it knows, how long it waits for an
// echo reply, and its pause between two routers. Every router is pinged at the
// same pace whether or not it answers its probes: a router that declines most
// of them is still measured by its echo replies, and each hop's evidence holds
// some five pings to each probe at the default sweep of 5 s.
inline constexpr std::chrono::milliseconds ping_round_interval{1000};
inline constexpr std::chrono::milliseconds echo_reply_timeout{500};
inline constexpr std::chrono::milliseconds pause_between_targets{50};
// What the pinger's packets are called in the hop engine's SEND_FAIL errors.
inline constexpr std::string_view unsent_echo_requests = "echo requests";

// The pinger's choice of routers to ping: every router newly seen, at once,
// and every router seen so far once a round is due. A router's TTL is the
// lowest it was sighted at, or that of the sighting that reported a route
// change; the router a route change replaced is forgotten at its TTL.
class PingChoice {
public:
    // The routers not seen before among the sightings waiting, which it takes
    // off the queue.
    std::vector<HopSighting> take_new(SightingQueue& sightings);
    // A sighting that came during the wait for the next round: its router,
    // if not seen before.
    std::vector<HopSighting> take_waited(const HopSighting& sighting);
    // Every router known, for a round.
    std::vector<HopSighting> every_known() const;

private:
    // Adds a sighting to the routers known; true for a router not seen before.
    bool note(const HopSighting& sighting);
    void forget_replaced(const HopSighting& sighting);

    std::map<packets::IpAddress, std::uint8_t> known_hops_;
};

struct PingerShared {
    bool ipv6;  // the routers are the path's to an IPv6 target
    // The address the path's packets leave from now, which ICMPv6's checksum
    // covers; none while the host has no route to the target.
    std::shared_ptr<const PathRoute> route;
    std::shared_ptr<HopTable> table;
    std::shared_ptr<DelayTable> delays;
    std::shared_ptr<SightingQueue> sightings;
    std::shared_ptr<runtime::StopFlag> stop;
    std::shared_ptr<SendFailures> send_failures;  // the engine's, which tells the client
};

// The "hop-pinger" thread: pings (over ICMP or ICMPv6, as the path's family
// is) every router the receiver has seen and stores
// the round-trip times in the hop table and the delay table, until stopped.
void run_pinger(PingerShared shared);

}  // namespace tarnvale::engines::hop
