#include "engines/hop/flow_rotation.hpp"

#include <algorithm>
#include <map>

namespace tarnvale::engines::hop {

namespace {

using Routers = std::map<std::size_t, packets::IpAddress>;  // by TTL

Routers routers_of(const std::vector<std::optional<packets::IpAddress>>& met) {
    Routers routers;
    for (std::size_t ttl = 1; ttl < met.size(); ++ttl) {
        if (met[ttl]) {
            routers.emplace(ttl, *met[ttl]);
        }
    }
    return routers;
}

bool meet_alike(const Routers& a, const Routers& b) {
    return std::ranges::all_of(a, [&b](const auto& ttl_router) {
        const auto other = b.find(ttl_router.first);
        return other == b.end() || other->second == ttl_router.second;
    });
}

}  // namespace

std::vector<std::vector<std::uint8_t>> group_paths(const FlowRouters& flows) {
    std::vector<std::vector<std::uint8_t>> groups;
    std::vector<Routers> met;  // by group: every router its flows have met
    for (std::size_t flow = 0; flow < flows.size(); ++flow) {
        Routers routers = routers_of(flows[flow]);
        const auto same = routers.empty() ? met.end() : std::ranges::find_if(met, [&routers](const Routers& group) {
            return !group.empty() && meet_alike(routers, group);
        });
        if (same == met.end()) {
            groups.push_back({static_cast<std::uint8_t>(flow)});
            met.push_back(std::move(routers));
            continue;
        }
        groups[static_cast<std::size_t>(same - met.begin())].push_back(static_cast<std::uint8_t>(flow));
        same->merge(routers);
    }
    return groups;
}

std::uint8_t FlowRotation::next(const FlowRouters& flows) {
    const auto groups = group_paths(flows);
    ++turn_;
    if (groups.empty()) {
        return 0;
    }
    const auto& group = groups[turn_ % groups.size()];
    const auto flow = *std::ranges::min_element(
        group, [this](std::uint8_t a, std::uint8_t b) { return last_turn_.at(a) < last_turn_.at(b); });
    last_turn_.at(flow) = turn_;
    return flow;
}

}  // namespace tarnvale::engines::hop
