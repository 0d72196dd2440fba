#include "engines/bandwidth/flow_samples.hpp"

namespace tarnvale::engines::bandwidth {

const FlowSampleTable::FlowHopSamples* FlowSampleTable::find(std::uint8_t flow, std::uint8_t hop) const {
    if (flow >= flows_.size() || hop >= flows_[flow].size()) {
        return nullptr;
    }
    return &flows_[flow][hop];
}

void FlowSampleTable::add(std::uint8_t flow, std::uint8_t hop, double spacing_ms, const packets::IpAddress& from) {
    const std::lock_guard lock(lock_);
    if (find(flow, hop) == nullptr) {
        return;
    }
    FlowHopSamples& entry = flows_[flow][hop];
    if (entry.router && *entry.router != from) {
        entry.spacings.clear();
    }
    entry.spacings.push(spacing_ms);
    entry.router = from;
}

std::vector<double> FlowSampleTable::samples(std::uint8_t flow, std::uint8_t hop) const {
    const std::lock_guard lock(lock_);
    const FlowHopSamples* entry = find(flow, hop);
    if (entry == nullptr) {
        return {};
    }
    return {entry->spacings.begin(), entry->spacings.end()};
}

std::optional<packets::IpAddress> FlowSampleTable::router(std::uint8_t flow, std::uint8_t hop) const {
    const std::lock_guard lock(lock_);
    const FlowHopSamples* entry = find(flow, hop);
    return entry ? entry->router : std::nullopt;
}

bool FlowSampleTable::follows_first_before(std::uint8_t flow, std::uint8_t hop) const {
    const std::lock_guard lock(lock_);
    for (std::uint8_t before = 1; before < hop; ++before) {
        const FlowHopSamples* own = find(flow, before);
        const FlowHopSamples* first = find(0, before);
        if (own == nullptr || first == nullptr || !own->router || !first->router || *own->router != *first->router) {
            return false;
        }
    }
    return true;
}

}  // namespace tarnvale::engines::bandwidth
