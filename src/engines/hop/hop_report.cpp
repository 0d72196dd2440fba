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

std::vector<ipc::HopDelayEvent> build_hop_delay_events(const std::vector<ipc::HopLossEvent>& loss_events,
                                                       const std::vector<std::optional<HopDelay>>& delays,
                                                       const std::optional<QueueLocation>& queue) {
    std::vector<ipc::HopDelayEvent> events;
    for (const ipc::HopLossEvent& loss : loss_events) {
        if (loss.hop >= delays.size() || !delays[loss.hop]) {
            continue;
        }
        const HopDelay& delay = *delays[loss.hop];
        events.push_back(ipc::HopDelayEvent{loss.ts, loss.hop, loss.addr, delay.baseline_ms, delay.current_ms,
                                            delay.added_ms(), queue && carries_queue(delays, *queue, loss.hop)});
    }
    return events;
}

std::vector<ipc::HopUnsentEvent> build_hop_unsent_events(const std::vector<HopStats>& hops,
                                                         const std::vector<HopStats>& previous, std::uint64_t ts,
                                                         std::size_t last_ttl) {
    std::vector<ipc::HopUnsentEvent> events;
    const std::size_t end = std::min(last_ttl + 1, hops.size());
    for (std::size_t ttl = 1; ttl < end; ++ttl) {
        const HopStats& hop = hops[ttl];
        const HopStats* before = ttl < previous.size() ? &previous[ttl] : nullptr;
        const std::uint64_t unsent = hop.unsent_total - (before ? before->unsent_total : 0);
        if (unsent == 0) {
            continue;
        }
        const std::uint64_t sent = hop.sent_total - (before ? before->sent_total : 0);
        events.push_back(ipc::HopUnsentEvent{ts, static_cast<std::uint8_t>(ttl),
                                             hop.addr ? packets::to_text(*hop.addr) : std::string{}, sent, unsent});
    }
    return events;
}

std::vector<ipc::HopCountsEvent> build_hop_counts_events(const std::vector<HopStats>& hops,
                                                       const std::vector<HopStats>& previous, std::uint64_t ts,
                                                       std::size_t last_ttl) {
    std::vector<ipc::HopCountsEvent> events;
    const std::size_t end = std::min(last_ttl + 1, hops.size());
    for (std::size_t ttl = 1; ttl < end; ++ttl) {
        const HopStats& hop = hops[ttl];
        if (!hop.addr) {
            continue;
        }
        // A hop begun afresh (another router) counts from nothing again.
        const HopStats* before = ttl < previous.size() && previous[ttl].outcomes_total <= hop.outcomes_total &&
                                         previous[ttl].rtt_total <= hop.rtt_total && previous[ttl].addr == hop.addr
                                     ? &previous[ttl]
                                     : nullptr;
        const std::uint64_t probes = hop.outcomes_total - (before ? before->outcomes_total : 0);
        const std::uint64_t lost = hop.lost_total - (before ? before->lost_total : 0);
        const std::uint64_t new_rtts = hop.rtt_total - (before ? before->rtt_total : 0);
        if (probes == 0 && new_rtts == 0) {
            continue;
        }
        const std::size_t kept = std::min<std::size_t>(new_rtts, hop.rtt_samples.size());
        std::vector<float> rtt_ms(hop.rtt_samples.end() - static_cast<std::ptrdiff_t>(kept), hop.rtt_samples.end());
        events.push_back(ipc::HopCountsEvent{ts, static_cast<std::uint8_t>(ttl), packets::to_text(*hop.addr), probes,
                                             lost, std::move(rtt_ms)});
    }
    return events;
}

std::vector<ipc::FlowLossEvent> build_flow_loss_events(const std::vector<std::vector<FlowHop>>& flows, std::uint64_t ts,
                                                       packets::IpAddress target, std::uint8_t first_path_last_ttl,
                                                       std::uint8_t max_hops) {
    std::vector<ipc::FlowLossEvent> events;
    for (std::size_t flow = 0; flow < flows.size(); ++flow) {
        const auto& hops = flows[flow];
        const std::size_t end =
            std::min<std::size_t>(flow_last_ttl(hops, target, first_path_last_ttl, max_hops) + 1, hops.size());
        for (std::size_t ttl = 1; ttl < end; ++ttl) {
            const FlowHop& hop = hops[ttl];
            if (hop.outcomes.empty() || !hop.addr) {
                continue;
            }
            events.push_back(ipc::FlowLossEvent{ts, static_cast<std::uint8_t>(flow), static_cast<std::uint8_t>(ttl),
                                                packets::to_text(*hop.addr), loss_percent(hop.outcomes),
                                                mean_rtt(hop.rtt_samples)});
        }
    }
    return events;
}

QueueReport queue_report(std::uint64_t ts, const std::vector<HopStats>& hops,
                         const std::optional<QueueLocation>& queue) {
    if (!queue) {
        return QueueReport{ts, 0, {}, 0, 0};
    }
    const auto& addr = queue->hop < hops.size() ? hops[queue->hop].addr : std::nullopt;
    return QueueReport{ts, queue->hop, addr ? packets::to_text(*addr) : std::string{}, queue->delay.baseline_ms,
                       queue->delay.current_ms};
}

FlowLossReport flow_loss_report(const ipc::FlowLossEvent& event, const FlowHop& hop) {
    return FlowLossReport{event.ts,       event.flow,         event.hop,     event.addr,
                          event.loss_pct, hop.outcomes_total, hop.lost_total};
}

HopLossReport hop_loss_report(const ipc::HopLossEvent& event, const HopStats& hop) {
    return HopLossReport{event.ts,           event.loss_pct,          event.hop,           hop.outcomes_total,
                         hop.lost_total,     hop.echo_outcomes_total, hop.echo_lost_total, hop.tcp_outcomes_total,
                         hop.tcp_lost_total, hop.router_in_doubt};
}

}  // namespace tarnvale::engines::hop
