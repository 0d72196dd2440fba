#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engines/aggregator/hop_history.hpp"
#include "engines/flow_groups.hpp"
#include "engines/reports.hpp"

// The branches of a route that balances flows over parallel links, as the hop
// engine's probe flows meet them: flows that meet the same routers take one
// path, and a loss that only some flows show lies on theirs.
namespace tarnvale::engines::aggregator {

// The flows of one path and the routers they meet, by hop.
using Branch = FlowGroup<std::string>;

class FlowHistories {
public:
    void apply(const FlowLossReport& report);

    // The flows reported in the newest cycle, grouped by the routers they
    // meet: a flow joins the first path whose routers it meets wherever both
    // have been answered. Flow 0's path comes first; none without reports.
    std::vector<Branch> branches() const;

    // The branch's flows' answers at the hop over the `window_s` seconds up
    // to `until`, pooled (report by report, newest reports aligned).
    HopEvidence evidence(const Branch& branch, std::uint8_t hop, std::uint64_t until, std::uint64_t window_s) const;

    // The mean loss of the branch's flows at these hops, report by report.
    HopHistory pooled_history(const Branch& branch, const std::vector<std::uint8_t>& hops) const;

    // The time of the newest report; 0 without one.
    std::uint64_t newest_ts() const;

    // Since when every flow of the branch has met its present router at the hop.
    std::uint64_t meeting_since(const Branch& branch, std::uint8_t hop) const;

private:
    struct FlowHop {
        std::string addr;
        HopHistory history;
    };
    std::map<std::pair<std::uint8_t, std::uint8_t>, FlowHop> hops_;  // by (flow, hop)
};

// The lowest hop at which the branch meets another router than `first` (flow
// 0's path) meets there; nothing when it meets none.
std::optional<std::uint8_t> parting_hop(const Branch& branch, const Branch& first);

}  // namespace tarnvale::engines::aggregator
