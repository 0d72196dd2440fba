#include "engines/hop/pending_probes.hpp"

namespace tarnvale::engines::hop {

std::optional<AnsweredProbe> settle_answered(PendingProbes& pending, const ProbeOutcomes& outcomes, std::uint16_t id,
                                             ProbeKind kind, std::uint8_t flow, packets::IpAddress source,
                                             std::chrono::steady_clock::time_point now) {
    const auto probe = pending.take(id, [kind, flow](const PendingProbe& each) {
        return each.kind == kind && (kind == ProbeKind::tcp || each.flow == flow);
    });
    if (!probe) {
        return std::nullopt;
    }
    const float rtt_ms = std::chrono::duration<float, std::milli>(now - probe->sent).count();
    if (kind == ProbeKind::tcp) {
        outcomes.table.record_tcp_outcome(probe->ttl, true);
        return AnsweredProbe{probe->ttl, rtt_ms, false, kind};
    }
    const auto flow_router_before = outcomes.flows.router(probe->flow, probe->ttl);
    outcomes.flows.record_answer(probe->flow, probe->ttl, source, rtt_ms);
    const bool in_table = probe->on_first_path && outcomes.table.record_answer(probe->ttl, source);
    return AnsweredProbe{probe->ttl, rtt_ms, in_table, kind, flow_router_before};
}

void settle_overdue(PendingProbes& pending, const ProbeOutcomes& outcomes, std::chrono::steady_clock::time_point now) {
    const auto overdue = now - reply_deadline;
    const auto expired =
        pending.take_if([overdue](std::uint16_t, const PendingProbe& probe) { return probe.sent <= overdue; });
    for (const auto& [id, probe] : expired) {
        if (probe.kind == ProbeKind::tcp) {
            outcomes.table.record_tcp_outcome(probe.ttl, false);
            continue;
        }
        outcomes.flows.record_unanswered(probe.flow, probe.ttl);
        if (probe.on_first_path) {
            outcomes.table.record_unanswered(probe.ttl);
        }
    }
}

}  // namespace tarnvale::engines::hop
