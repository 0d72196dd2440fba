#include "engines/hop/sweep.hpp"

#include <algorithm>
#include <vector>

#include "engines/hop/flow_rotation.hpp"
#include "engines/hop/hop_report.hpp"
#include "engines/hop/probe_packet.hpp"
#include "ipc/wire_names.hpp"
#include "log/log.hpp"

namespace tarnvale::engines::hop {

const EngineIdentity hop_engine{ipc::engine_name::hop, log::target::hop};

namespace {

using Clock = ProbeNetwork::Clock;

// Waits in steps, noting overdue probes and reporting when a report is due.
asio::awaitable<void> pause(ProbeNetwork& network, const HopShared& shared, HopReporter& reporter,
                            std::chrono::milliseconds duration) {
    const auto until = network.now() + duration;
    while (network.now() < until) {
        co_await network.wait_until(std::min(until, network.now() + probe_spacing));
        co_await reporter.recheck_route();
        settle_overdue(*shared.pending, {*shared.table, *shared.flow_paths}, network.now());
        co_await reporter.tell_send_failures();
        if (reporter.due()) {
            co_await reporter.report();
        }
    }
}

// Sends one probe of a flow and counts it as pending.
void send_probe(const HopShared& shared, ProbeNetwork& network, packets::IpAddress source, std::uint16_t id,
                std::uint8_t ttl, std::uint8_t flow) {
    const auto probe = build_ttl_probe(id, ttl, shared.flows.flow(flow), source, shared.target);
    const bool on_first_path = flow == 0 || shared.flow_paths->follows_first(flow, ttl, shared.target);
    shared.pending->insert_or_assign(id, PendingProbe{network.now(), ttl, ProbeKind::ttl_limited, flow, on_first_path});
    if (const auto error = network.send(probe, shared.target, 0)) {
        log::warn(log::target::hop, "probe send failed",
                  {{"ttl", ttl}, {"seq", id}, {"flow", flow}, {"err", error.message()}});
        shared.pending->take(id);
        if (on_first_path) {
            shared.table->record_unsent(ttl);
        }
        shared.send_failures->record(unsent_probes, error);
        shared.route->suspect(error);
    } else {
        log::info(log::target::hop, "probe sent", {{"ttl", ttl}, {"seq", id}, {"flow", flow}});
        if (on_first_path) {
            shared.table->record_sent(ttl);
        }
    }
}

// Sends the target a TCP probe, whose outcome counts at its distance.
void send_tcp_probe(const HopShared& shared, ProbeNetwork& network, packets::IpAddress source, std::uint16_t id,
                    std::uint8_t distance) {
    const auto probe = build_tcp_probe(id, tcp_probe_ttl, *shared.tcp_port, source, shared.target);
    shared.pending->insert_or_assign(id, PendingProbe{network.now(), distance, ProbeKind::tcp});
    if (const auto error = network.send(probe, shared.target, 0)) {
        log::warn(log::target::hop, "tcp probe send failed", {{"seq", id}, {"err", error.message()}});
        shared.pending->take(id);
        shared.send_failures->record(unsent_tcp_probes, error);
        shared.route->suspect(error);
    }
}

}  // namespace

asio::awaitable<void> HopReporter::report_route_changes(std::uint64_t ts) {
    while (const auto change = shared_.route_changes->try_pop()) {
        ipc::Event event = ipc::RouteChangeEvent{ts, change->hop, packets::to_text(change->old_addr),
                                                 packets::to_text(change->new_addr)};
        co_await outlets_.events.send(std::move(event));
        AggregatorReport report =
            RouteChangeReport{ts, change->hop, packets::to_text(change->old_addr), packets::to_text(change->new_addr)};
        co_await outlets_.reports.send(std::move(report));
    }
}

asio::awaitable<void> HopReporter::recheck_route() {
    if (co_await engines::recheck_route(outlets_, network_, hop_engine, shared_.target, *shared_.route) !=
        PathRoute::Change::none) {
        // Sent from a source or over a route that is gone: unanswered, they
        // would count as loss of the path.
        shared_.pending->take_if([](std::uint16_t, const PendingProbe&) { return true; });
    }
}

asio::awaitable<void> HopReporter::report() {
    if (!shared_.route->source()) {
        next_ = network_.now() + report_period;
        co_return;  // nothing measured: the path_status said why
    }
    const std::uint64_t ts = network_.unix_seconds();
    // Taken before the snapshot: a change confirmed in between is reported next
    // cycle, while its hop's totals, gone down, already tell the aggregator.
    co_await report_route_changes(ts);
    const auto hops = shared_.table->snapshot();
    const auto last_ttl = target_distance(hops, shared_.target).value_or(shared_.max_hops);
    const auto loss_events = build_hop_loss_events(hops, ts, last_ttl);
    for (const ipc::HopLossEvent& event : loss_events) {
        ipc::Event hop_loss = event;
        co_await outlets_.events.send(std::move(hop_loss));
        AggregatorReport report = hop_loss_report(event, hops[event.hop]);
        co_await outlets_.reports.send(std::move(report));
    }
    const auto delays = shared_.delays->delays(network_.now(), last_ttl);
    const auto queue = locator_.update(delays);
    for (const ipc::HopDelayEvent& event : build_hop_delay_events(loss_events, delays, queue)) {
        ipc::Event hop_delay = event;
        co_await outlets_.events.send(std::move(hop_delay));
    }
    AggregatorReport located = queue_report(ts, hops, queue);
    co_await outlets_.reports.send(std::move(located));
    for (const ipc::HopUnsentEvent& event : build_hop_unsent_events(hops, previous_, ts, last_ttl)) {
        ipc::Event hop_unsent = event;
        co_await outlets_.events.send(std::move(hop_unsent));
    }
    for (ipc::HopCountsEvent& event : build_hop_counts_events(hops, previous_, ts, last_ttl)) {
        ipc::Event hop_counts = std::move(event);
        co_await outlets_.events.send(std::move(hop_counts));
    }
    const auto flows = shared_.flow_paths->snapshot();
    for (const ipc::FlowLossEvent& event :
         build_flow_loss_events(flows, ts, shared_.target, static_cast<std::uint8_t>(last_ttl), shared_.max_hops)) {
        AggregatorReport report = flow_loss_report(event, flows[event.flow][event.hop]);
        ipc::Event flow_loss = event;
        co_await outlets_.events.send(std::move(flow_loss));
        co_await outlets_.reports.send(std::move(report));
    }
    path_loss_.set(loss_events.empty() ? 0.0F : loss_events.back().loss_pct);
    previous_ = hops;
    next_ = network_.now() + report_period;  // the next cycle starts a period after this one ended
}

asio::awaitable<void> HopReporter::tell_send_failures() {
    co_await report_send_failures(outlets_, ipc::engine_name::hop, *shared_.send_failures, network_.now());
}

asio::awaitable<void> probe_forever(const HopShared& shared, ProbeNetwork& network, std::uint64_t interval_ms,
                                    HopReporter& reporter, AnswerBudgets& budgets) {
    ProbeIds ids(shared.first_probe_id);
    std::optional<std::uint8_t> distance;
    FlowRotation rotation(shared.flows.count);
    for (std::uint64_t sweep = 0;; ++sweep) {
        const auto sweep_start = network.now();
        const std::uint8_t flow = sweep < first_path_sweeps ? 0 : rotation.next(shared.flow_paths->routers());
        const std::uint8_t first_path_last_ttl =
            last_ttl_to_probe(shared.table->snapshot(), shared.target, shared.max_hops, distance);
        const std::uint8_t last_ttl = flow == 0 ? first_path_last_ttl
                                                : flow_last_ttl(shared.flow_paths->snapshot(flow), shared.target,
                                                                first_path_last_ttl, shared.max_hops);
        const auto probing = probe_spacing * last_ttl;
        const auto sweep_end = sweep_start + std::max<Clock::duration>(std::chrono::milliseconds(interval_ms), probing);
        std::vector<std::uint8_t> waiting;
        for (std::uint8_t ttl = 1; ttl <= last_ttl && ttl != 0; ++ttl) {
            waiting.push_back(ttl);
        }
        while (!waiting.empty()) {
            // Each probe from the source of the moment: the route may change within a sweep.
            const std::optional<packets::IpAddress> source = shared.route->source();
            if (!source) {
                break;
            }
            const auto now = network.now();
            const auto ready = std::find_if(waiting.begin(), waiting.end(), [&](std::uint8_t ttl) {
                return budgets.can_answer(Responder{shared.target, ttl}, now);
            });
            if (ready != waiting.end()) {
                budgets.spend(Responder{shared.target, *ready}, 1, now);
                send_probe(shared, network, *source, ids.take(), *ready, flow);
                waiting.erase(ready);
            } else if (now + probe_spacing >= sweep_end) {
                for (const std::uint8_t ttl : waiting) {
                    log::info(log::target::hop, "probe not sent: no answer left at its hop", {{"ttl", ttl}});
                }
                break;
            }
            co_await pause(network, shared, reporter, probe_spacing);
        }
        if (shared.tcp_port && distance) {
            // Spread over the rest of the sweep: lost in one burst with the
            // target's own probe, they would count one fault many times.
            for (unsigned index = 1; index <= tcp_probes_per_sweep; ++index) {
                const auto at =
                    sweep_start + std::chrono::milliseconds(interval_ms) * index / (tcp_probes_per_sweep + 1);
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(at - network.now());
                if (wait > std::chrono::milliseconds(0)) {
                    co_await pause(network, shared, reporter, wait);
                }
                if (const auto source = shared.route->source()) {
                    send_tcp_probe(shared, network, *source, ids.take(), *distance);
                }
            }
        }
        const auto rest = std::chrono::ceil<std::chrono::milliseconds>(
            sweep_start + std::chrono::milliseconds(interval_ms) - network.now());
        // Even a sweep with nothing to probe waits a step, so that it never spins.
        co_await pause(network, shared, reporter, std::max(rest, std::chrono::milliseconds(1)));
    }
}

}  // namespace tarnvale::engines::hop
