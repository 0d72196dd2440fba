#include "engines/hop/hop_report.hpp"

#include <algorithm>

namespace tarnvale::engines::hop {

float loss_percent(const BoundedHistory<bool>& outcomes) {
    if (outcomes.empty()) {
        return 0.0f;
    }
    const auto unanswered = std::count(outcomes.begin(), outcomes.end(), false);
    return static_cast<float>(unanswered) / static_cast<float>(outcomes.size()) * 100.0f;
}

float mean_rtt(const BoundedHistory<float>& samples) {
    if (samples.empty()) {
        return 0.0f;
    }
    float sum = 0.0f;
    for (const float sample : samples) {
        sum += sample;
    }
    return sum / static_cast<float>(samples.size());
}

std::vector<ipc::HopLossEvent> build_hop_loss_events(const std::vector<HopStats>& hops, std::uint64_t ts,
                                                     std::size_t last_ttl) {
    std::vector<ipc::HopLossEvent> events;
    float previous = 0.0f;
    const std::size_t end = std::min(last_ttl + 1, hops.size());
    for (std::size_t ttl = 1; ttl < end; ++ttl) {
        const HopStats& hop = hops[ttl];
        if (hop.outcomes.empty() || !hop.addr) {
            continue;
        }
        const float loss = loss_percent(hop.outcomes);
        events.push_back(ipc::HopLossEvent{ts, static_cast<std::uint8_t>(ttl), packets::to_text(*hop.addr), loss,
                                           mean_rtt(hop.rtt_samples), previous, is_localized(loss, previous)});
        previous = loss;
    }
    return events;
}

HopLossReport hop_loss_report(const ipc::HopLossEvent& event, const HopStats& hop) {
    return HopLossReport{event.ts, event.loss_pct, event.hop, hop.outcomes_total, hop.lost_total};
}

}  // namespace tarnvale::engines::hop
