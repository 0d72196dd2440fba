#include "hop_loop.hpp"

namespace tarnvale::sim {

using engines::hop::HopSighting;
using Clock = SimulatedPath::Clock;

namespace {
// The TCP port the simulated host holds for the engine's TCP probes.
constexpr std::uint16_t simulated_tcp_port = 40443;
// The UDP port it holds for the engine's TTL-limited probes.
constexpr std::uint16_t simulated_probe_port = 40434;
}  // namespace

void SimulatedPinger::catch_up(Clock::time_point now) {
    while (free_at_ <= now) {
        auto routers = choice_.take_new(*shared_.sightings);
        Clock::time_point start = free_at_;
        if (routers.empty() && now < next_round_) {
            const auto sighting = shared_.sightings->try_pop();
            if (!sighting) {
                return;  // waiting for the round
            }
            routers = choice_.take_waited(*sighting);
            start = now;
        } else if (routers.empty()) {
            routers = choice_.every_known();
            start = std::max(free_at_, next_round_);
            next_round_ = start + engines::hop::ping_round_interval;
        }
        free_at_ = ping(routers, start);
    }
}

Clock::time_point SimulatedPinger::ping(const std::vector<HopSighting>& routers, Clock::time_point start) {
    auto at = start;
    for (const HopSighting& router : routers) {
        if (!shared_.route->source()) {
            break;  // no route, as the loop last found
        }
        const auto round_trip = path_.echo_round_trip(router.addr, at);
        const auto waited = round_trip.value_or(engines::hop::echo_reply_timeout);
        // The pinger leaves out an echo whose wait saw the loop find a route
        // change: the loop finds one within a wait step of the host's network changing.
        const bool route_changed =
            path_.network_changes_at(at) != path_.network_changes_at(at + waited + engines::hop::probe_spacing);
        if (round_trip && !route_changed) {
            const float milliseconds = std::chrono::duration<float, std::milli>(*round_trip).count();
            shared_.table->record_rtt(router.ttl, milliseconds);
            shared_.delays->record(router.ttl, at + *round_trip, milliseconds);
        }
        if (!route_changed) {
            shared_.table->record_echo_outcome(router.ttl, round_trip.has_value());
        }
        at += waited + engines::hop::pause_between_targets;
    }
    return at;
}

SimulatedHopLoop::SimulatedHopLoop(SimulatedPath& path, const packets::IpAddress& target, std::uint8_t max_hops)
    : path_(path),
      harness_([&path] { return path.network_changes(); }),
      shared_{target,
              engines::hop::ProbeFlows{simulated_probe_port},
              max_hops,
              std::make_shared<engines::hop::HopTable>(std::size_t{max_hops} + 1),
              std::make_shared<engines::hop::FlowPaths>(engines::hop::probe_flow_count, std::size_t{max_hops} + 1),
              std::make_shared<engines::hop::PendingProbes>(),
              std::make_shared<engines::hop::DelayTable>(std::size_t{max_hops} + 1),
              0,
              std::make_shared<engines::SendFailures>(engines::send_failure_notice_period),
              std::make_shared<engines::hop::RouteChangeQueue>(engines::hop::route_change_queue_capacity),
              simulated_tcp_port,
              std::make_shared<engines::PathRoute>(path.client(), harness_.outlets().network_generation())},
      receiver_{target,
                shared_.flows,
                shared_.pending,
                shared_.table,
                shared_.flow_paths,
                shared_.delays,
                std::make_shared<engines::hop::SightingQueue>(engines::hop::sighting_queue_capacity),
                std::make_shared<runtime::StopFlag>(),
                std::make_shared<engines::hop::RouteWatch>(),
                shared_.route_changes,
                simulated_tcp_port} {
    path_.on_answer([this](std::span<const std::uint8_t> datagram, Clock::time_point arrival) {
        engines::hop::handle_datagram(receiver_, datagram, arrival);
    });
}

void SimulatedHopLoop::add_pinger() {
    pinger_.emplace(path_, engines::hop::PingerShared{!shared_.target.is_v4(), shared_.route, shared_.table, shared_.delays,
                                                      receiver_.sightings, receiver_.stop, shared_.send_failures});
    path_.on_tick([this](Clock::time_point now) { pinger_->catch_up(now); });
}

bool SimulatedHopLoop::run(std::uint64_t interval_ms, LoopHarness::ReportHandler on_report) {
    engines::hop::HopReporter reporter(shared_, harness_.outlets(), path_);
    return harness_.run(
        engines::hop::probe_forever(shared_, path_, interval_ms, reporter, *harness_.outlets().answer_budgets),
        std::move(on_report));
}

}  // namespace tarnvale::sim
