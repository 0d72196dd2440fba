#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "engines/bounded_history.hpp"
#include "engines/hop/hop_table.hpp"
#include "packets/ip_address.hpp"

// What each probe flow finds at each TTL. Routers that balance per flow send
// the flows of one route over different branches: each flow's own figures
// show the branch it takes, which the hop table, the path of flow 0, does not.
namespace tarnvale::engines::hop {

struct FlowHop {
    BoundedHistory<bool> outcomes{hop_history_length};      // true: answered; newest last
    BoundedHistory<float> rtt_samples{hop_history_length};  // the probes' own round trips in ms, newest last
    std::optional<packets::IpAddress> addr;                 // source of the latest answer
    std::uint64_t outcomes_total = 0;  // since the flow began or another router answered it at this TTL
    std::uint64_t lost_total = 0;
};

// The router that last answered each flow at each TTL, by flow, then TTL.
using FlowRouters = std::vector<std::vector<std::optional<packets::IpAddress>>>;

// The routers each flow meets, one FlowHop per flow and TTL (TTL 0 unused),
// shared by the receiver, the sweep and the reporter under one lock.
class FlowPaths {
public:
    FlowPaths(std::uint8_t flows, std::size_t entries) : flows_(flows, std::vector<FlowHop>(entries)) {}

    // An answer from `source`: when another router than before answers the
    // flow at this TTL, its figures there begin again with this one.
    void record_answer(std::uint8_t flow, std::uint8_t ttl, packets::IpAddress source, float rtt_ms);
    void record_unanswered(std::uint8_t flow, std::uint8_t ttl);
    // The route changed at this TTL: every flow that `old_router` answered
    // there meets `new_router` now, with figures begun afresh, until an answer
    // of its own says otherwise (a change on one path of a balanced route
    // costs the others one probe each; a change on every path keeps every
    // flow counting on flow 0's path).
    void move(std::uint8_t ttl, packets::IpAddress old_router, packets::IpAddress new_router);

    // Whether the flow's probes at this TTL take flow 0's path, as far as the
    // answers tell: the router that last answered the flow at `ttl` is the one
    // that last answered flow 0 there, and no TTL before it has answered the
    // two from different routers. Until both have been answered at `ttl`,
    // nothing shows where the flow goes there (a first answer of flow 0 lost
    // on its branch would otherwise let another branch into flow 0's path),
    // but for the target, where every path ends; before it, an answer either
    // lacks shows no parting, so that the answers a router or the target
    // declines now and then do not keep a flow out.
    bool follows_first(std::uint8_t flow, std::uint8_t ttl, packets::IpAddress target) const;

    std::vector<std::vector<FlowHop>> snapshot() const;
    FlowRouters routers() const;
    std::vector<FlowHop> snapshot(std::uint8_t flow) const;  // nothing for a flow out of range
    // The router that last answered the flow at this TTL, if any.
    std::optional<packets::IpAddress> router(std::uint8_t flow, std::uint8_t ttl) const;

private:
    mutable std::mutex lock_;
    std::vector<std::vector<FlowHop>> flows_;  // by flow, then TTL
};

// Branches of one route may differ in length by this many hops.
inline constexpr std::uint8_t unequal_branch_allowance = 2;

// The highest TTL to probe a flow at, and to report it to: the lowest TTL at
// which its latest answer came from the target; before that, as far as flow
// 0's path goes (`first_path_last_ttl`), and further, up to `max_hops`, once a
// router rather than the target answered the flow there (its branch is
// longer). Probes past the target only spend its answers.
std::uint8_t flow_last_ttl(const std::vector<FlowHop>& hops, packets::IpAddress target,
                           std::uint8_t first_path_last_ttl, std::uint8_t max_hops);

}  // namespace tarnvale::engines::hop
