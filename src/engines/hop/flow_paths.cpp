#include "engines/hop/flow_paths.hpp"

#include <algorithm>

namespace tarnvale::engines::hop {

void FlowPaths::record_answer(std::uint8_t flow, std::uint8_t ttl, packets::IpAddress source, float rtt_ms) {
    const std::lock_guard lock(lock_);
    if (flow >= flows_.size() || ttl >= flows_[flow].size()) {
        return;
    }
    FlowHop& hop = flows_[flow][ttl];
    if (hop.addr && *hop.addr != source) {
        hop = FlowHop{};
    }
    hop.addr = source;
    hop.outcomes.push(true);
    hop.rtt_samples.push(rtt_ms);
    ++hop.outcomes_total;
}

void FlowPaths::record_unanswered(std::uint8_t flow, std::uint8_t ttl) {
    const std::lock_guard lock(lock_);
    if (flow >= flows_.size() || ttl >= flows_[flow].size()) {
        return;
    }
    FlowHop& hop = flows_[flow][ttl];
    hop.outcomes.push(false);
    ++hop.outcomes_total;
    ++hop.lost_total;
}

void FlowPaths::move(std::uint8_t ttl, packets::IpAddress old_router, packets::IpAddress new_router) {
    const std::lock_guard lock(lock_);
    for (auto& hops : flows_) {
        if (ttl < hops.size() && hops[ttl].addr == old_router) {
            hops[ttl] = FlowHop{};
            hops[ttl].addr = new_router;
        }
    }
}

bool FlowPaths::follows_first(std::uint8_t flow, std::uint8_t ttl, packets::IpAddress target) const {
    const std::lock_guard lock(lock_);
    if (flow >= flows_.size() || ttl >= flows_[flow].size()) {
        return false;
    }
    const auto& own = flows_[flow];
    const auto& first = flows_.front();
    // Every path ends at the target: a flow not yet answered there goes where
    // flow 0's does, once it has met flow 0's router in front of it.
    const bool met_last_router = ttl == 1 || !first[ttl - 1].addr || own[ttl - 1].addr == first[ttl - 1].addr;
    const bool at_target =
        first[ttl].addr == target && (own[ttl].addr == target || (!own[ttl].addr && met_last_router));
    if (!at_target && (!own[ttl].addr || own[ttl].addr != first[ttl].addr)) {
        return false;
    }
    for (std::uint8_t before = 1; before < ttl; ++before) {
        // Where either flow has not been answered, nothing tells that they part.
        if (own[before].addr && first[before].addr && own[before].addr != first[before].addr) {
            return false;
        }
    }
    return true;
}

std::vector<std::vector<FlowHop>> FlowPaths::snapshot() const {
    const std::lock_guard lock(lock_);
    return flows_;
}

FlowRouters FlowPaths::routers() const {
    const std::lock_guard lock(lock_);
    FlowRouters routers;
    routers.reserve(flows_.size());
    for (const auto& hops : flows_) {
        auto& met = routers.emplace_back();
        met.reserve(hops.size());
        for (const FlowHop& hop : hops) {
            met.push_back(hop.addr);
        }
    }
    return routers;
}

std::vector<FlowHop> FlowPaths::snapshot(std::uint8_t flow) const {
    const std::lock_guard lock(lock_);
    return flow < flows_.size() ? flows_[flow] : std::vector<FlowHop>{};
}

std::optional<packets::IpAddress> FlowPaths::router(std::uint8_t flow, std::uint8_t ttl) const {
    const std::lock_guard lock(lock_);
    return flow < flows_.size() && ttl < flows_[flow].size() ? flows_[flow][ttl].addr : std::nullopt;
}

std::uint8_t flow_last_ttl(const std::vector<FlowHop>& hops, packets::IpAddress target,
                           std::uint8_t first_path_last_ttl, std::uint8_t max_hops) {
    if (const auto distance = target_distance(hops, target); distance && *distance <= max_hops) {
        return *distance;
    }
    const bool longer = first_path_last_ttl < hops.size() && hops[first_path_last_ttl].addr;
    return longer
               ? static_cast<std::uint8_t>(std::min<unsigned>(max_hops, first_path_last_ttl + unequal_branch_allowance))
               : first_path_last_ttl;
}

}  // namespace tarnvale::engines::hop
