#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "engines/bounded_history.hpp"
#include "packets/ip_address.hpp"

namespace tarnvale::engines::hop {

inline constexpr std::size_t hop_history_length = 20;

// What is known of the router that answers at one TTL.
struct HopStats {
    BoundedHistory<bool> outcomes{hop_history_length};      // true: answered, false: unanswered; newest last
    BoundedHistory<float> rtt_samples{hop_history_length};  // echo round-trip times in ms, newest last
    std::uint64_t rtt_total = 0;  // echo round trips recorded since the engine began or the router changed
    std::optional<packets::IpAddress> addr;                 // source of the latest matched reply
    std::uint64_t outcomes_total = 0;  // every outcome recorded since the engine began or the router changed
    std::uint64_t lost_total = 0;      // of which unanswered
    std::uint64_t sent_total = 0;      // probes on this path the system took to send
    std::uint64_t unsent_total = 0;    // probes whose send failed: neither answered nor lost, so not outcomes
    // Echo requests to the router settled, answered or not, counted as the
    // outcomes are: a second view of the path to it, which the router's limits
    // on its Time Exceeded answers do not touch.
    std::uint64_t echo_outcomes_total = 0;
    std::uint64_t echo_lost_total = 0;
    // The same for TCP probes to the target, at its own TTL: a third view of
    // the path, which the target's limits on ICMP do not touch.
    std::uint64_t tcp_outcomes_total = 0;
    std::uint64_t tcp_lost_total = 0;
    // Another router has begun to answer this path's probes at the TTL and
    // may be replacing this one: the figures may be of a router the route no
    // longer crosses.
    bool router_in_doubt = false;
};

// One HopStats per TTL (entry 0 unused), shared by the pinger, the receiver,
// the engine task and the reporter under one lock.
class HopTable {
public:
    explicit HopTable(std::size_t entries) : hops_(entries) {}

    std::size_t size() const { return hops_.size(); }

    // A matched reply from `source` to a probe with this TTL; false when the TTL
    // is outside the table.
    bool record_answer(std::uint8_t ttl, packets::IpAddress source);
    void record_unanswered(std::uint8_t ttl);
    void record_sent(std::uint8_t ttl);
    void record_unsent(std::uint8_t ttl);
    void record_rtt(std::uint8_t ttl, float milliseconds);
    void record_echo_outcome(std::uint8_t ttl, bool answered);
    void record_tcp_outcome(std::uint8_t ttl, bool answered);
    // Another router answers at this TTL: the outcomes, round trips and outcome,
    // echo and TCP totals begin again from nothing (totals that go down tell the aggregator
    // so), the address is the new router's, and the send counts stay.
    void restart(std::uint8_t ttl, packets::IpAddress router);
    void set_router_in_doubt(std::uint8_t ttl, bool in_doubt);

    std::vector<HopStats> snapshot() const;
    // The router that last answered at this TTL, if any.
    std::optional<packets::IpAddress> router(std::uint8_t ttl) const;

private:
    mutable std::mutex lock_;
    std::vector<HopStats> hops_;
};

// The lowest TTL whose latest matched reply came from the target itself, in
// the hop table or in one flow's figures (any hops with an `addr`).
template <typename Hop>
std::optional<std::uint8_t> target_distance(const std::vector<Hop>& hops, packets::IpAddress target) {
    for (std::size_t ttl = 1; ttl < hops.size(); ++ttl) {
        if (hops[ttl].addr == target) {
            return static_cast<std::uint8_t>(ttl);
        }
    }
    return std::nullopt;
}

// The highest TTL to probe in the coming sweep, `distance` being the target's
// distance as the previous sweep found it (updated here). Once the target has
// answered, probes beyond its distance would only reach the target again, where
// they count against its ICMP error rate limit; while the distance is unknown
// (at start, or after the TTL at that distance answered from elsewhere) the
// sweep goes out to max_hops.
std::uint8_t last_ttl_to_probe(const std::vector<HopStats>& hops, packets::IpAddress target, std::uint8_t max_hops,
                               std::optional<std::uint8_t>& distance);

}  // namespace tarnvale::engines::hop
