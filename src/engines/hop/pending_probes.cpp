#include "engines/hop/pending_probes.hpp"

namespace tarnvale::engines::hop {

std::optional<AnsweredProbe> settle_answered(PendingProbes& pending, HopTable& table, std::uint16_t id, ProbeKind kind,
                                             packets::IpAddress source, std::chrono::steady_clock::time_point now) {
    const auto probe = pending.take(id, [kind](const PendingProbe& each) { return each.kind == kind; });
    if (!probe) {
        return std::nullopt;
    }
    const float rtt_ms = std::chrono::duration<float, std::milli>(now - probe->sent).count();
    if (kind == ProbeKind::tcp) {
        table.record_tcp_outcome(probe->ttl, true);
        return AnsweredProbe{probe->ttl, rtt_ms, false, kind};
    }
    return AnsweredProbe{probe->ttl, rtt_ms, table.record_answer(probe->ttl, source), kind};
}

void settle_overdue(PendingProbes& pending, HopTable& table, std::chrono::steady_clock::time_point now) {
    const auto overdue = now - reply_deadline;
    const auto expired =
        pending.take_if([overdue](std::uint16_t, const PendingProbe& probe) { return probe.sent <= overdue; });
    for (const auto& [id, probe] : expired) {
        if (probe.kind == ProbeKind::tcp) {
            table.record_tcp_outcome(probe.ttl, false);
        } else {
            table.record_unanswered(probe.ttl);
        }
    }
}

}  // namespace tarnvale::engines::hop
