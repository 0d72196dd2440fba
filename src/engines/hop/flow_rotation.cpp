#include "engines/hop/flow_rotation.hpp"

#include <algorithm>

#include "engines/flow_groups.hpp"

namespace tarnvale::engines::hop {

std::vector<std::vector<std::uint8_t>> group_paths(const FlowRouters& flows) {
    std::vector<std::pair<std::uint8_t, RoutersByHop<packets::IpAddress>>> met(flows.size());
    for (std::size_t flow = 0; flow < flows.size(); ++flow) {
        met[flow].first = static_cast<std::uint8_t>(flow);
        for (std::size_t ttl = 1; ttl < flows[flow].size(); ++ttl) {
            if (flows[flow][ttl]) {
                met[flow].second.emplace(static_cast<std::uint8_t>(ttl), *flows[flow][ttl]);
            }
        }
    }
    std::vector<std::vector<std::uint8_t>> paths;
    for (auto& group : group_flows(std::move(met))) {
        paths.push_back(std::move(group.flows));
    }
    return paths;
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
