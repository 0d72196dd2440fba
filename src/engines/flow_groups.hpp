#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

// The paths of a route that balances flows over parallel links, as the
// routers each probe flow meets tell them. The hop engine groups its flows by
// the addresses they met, the aggregator by the addresses their reports name.
namespace tarnvale::engines {

template <typename Router>
using RoutersByHop = std::map<std::uint8_t, Router>;

template <typename Router>
struct FlowGroup {
    std::vector<std::uint8_t> flows;
    RoutersByHop<Router> routers;  // every router its flows have met
};

// Each flow, in the order given, joins the first group whose routers it meets
// wherever both have been answered, and adds its own to the group's; a flow
// that has met no router yet is a group of its own.
template <typename Router>
std::vector<FlowGroup<Router>> group_flows(std::vector<std::pair<std::uint8_t, RoutersByHop<Router>>> flows) {
    const auto meet_alike = [](const RoutersByHop<Router>& a, const RoutersByHop<Router>& b) {
        return std::ranges::all_of(a, [&b](const auto& hop_router) {
            const auto other = b.find(hop_router.first);
            return other == b.end() || other->second == hop_router.second;
        });
    };
    std::vector<FlowGroup<Router>> groups;
    for (auto& [flow, routers] : flows) {
        const auto same = std::ranges::find_if(groups, [&met = routers, &meet_alike](const FlowGroup<Router>& group) {
            return !met.empty() && !group.routers.empty() && meet_alike(met, group.routers);
        });
        if (same == groups.end()) {
            groups.push_back(FlowGroup<Router>{{flow}, std::move(routers)});
            continue;
        }
        same->flows.push_back(flow);
        same->routers.merge(routers);
    }
    return groups;
}

}  // namespace tarnvale::engines
