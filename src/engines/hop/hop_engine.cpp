#include "engines/hop/hop_engine.hpp"

#include <asio/this_coro.hpp>
#include <random>

#include "engines/capture_events.hpp"
#include "engines/hop/pinger.hpp"
#include "engines/hop/receiver.hpp"
#include "engines/hop/sweep.hpp"
#include "ipc/wire_names.hpp"
#include "log/fill.hpp"
#include "log/log.hpp"
#include "platform/raw_sockets.hpp"
#include "runtime/blocking.hpp"

namespace tarnvale::engines::hop {

namespace {

// Closes the sighting queue when the engine ends, so that a pinger waiting for
// sightings wakes at once.
struct CloseOnExit {
    std::shared_ptr<SightingQueue> queue;
    ~CloseOnExit() { queue->close(); }
};

// The port the engine's TCP probes of the target leave from, held while it
// runs; port 0 when it can send none, which only narrows what it can tell of
// a target that limits its ICMP answers.
platform::ReservedPort reserve_tcp_port(const packets::IpAddress& target) {
    if (!platform::raw_sockets_send_tcp()) {
        log::info(log::target::hop, "tcp probes unavailable", {{"err", "this system's raw sockets send no TCP"}});
        return {};
    }
    std::error_code error;
    platform::ReservedPort reserved = platform::reserve_port(platform::Transport::tcp, !target.is_v4(), error);
    if (error) {
        log::warn(log::target::hop, "tcp probes unavailable", {{"err", error.message()}});
        return {};
    }
    return reserved;
}

}  // namespace

asio::awaitable<void> run_hop_engine(EngineConfig config, EngineOutlets outlets) {
    std::string no_target = "hop engine requires a target IP or hostname";
    const auto target = co_await resolve_target(outlets, config.target, ipc::engine_name::hop, std::move(no_target));
    if (!target) {
        co_return;
    }
    log::info(log::target::hop, "hop engine starting",
              {{"target", packets::to_text(*target)}, {"max_hops", config.max_hops}});
    const std::size_t table_entries = std::size_t{config.max_hops} + 1;
    const auto probe_port = co_await hold_udp_port(outlets, hop_engine, *target);
    if (!probe_port) {
        co_return;
    }
    const platform::ReservedPort tcp_port = reserve_tcp_port(*target);
    HopShared shared{*target,
                     ProbeFlows{probe_port->port},
                     config.max_hops,
                     std::make_shared<HopTable>(table_entries),
                     std::make_shared<FlowPaths>(probe_flow_count, table_entries),
                     std::make_shared<PendingProbes>(),
                     std::make_shared<DelayTable>(table_entries),
                     static_cast<std::uint16_t>(std::random_device{}()),
                     std::make_shared<SendFailures>(send_failure_notice_period),
                     std::make_shared<RouteChangeQueue>(route_change_queue_capacity),
                     tcp_port.port == 0 ? std::nullopt : std::optional(tcp_port.port),
                     std::make_shared<PathRoute>()};

    auto sightings = std::make_shared<SightingQueue>(sighting_queue_capacity);
    runtime::EngineThreads threads(outlets.blocking);
    const CloseOnExit close_sightings{sightings};
    // A probe sent before the capture runs would have its reply missed and count as lost.
    auto receive = [state = ReceiverShared{shared.target, shared.flows, shared.pending, shared.table, shared.flow_paths,
                                           shared.delays, sightings, threads.stop(), std::make_shared<RouteWatch>(),
                                           shared.route_changes, shared.tcp_port}](
                       const capture::ReceiverCapture& capture) { run_receiver(state, capture); };
    if (!co_await start_receiver(outlets, hop_engine, threads, config.interface, "hop-receiver",
                                 "failed to spawn hop receiver thread", std::move(receive), shared.route)) {
        co_return;
    }

    std::error_code error;
    platform::Socket probe_socket = shared.target.is_v4() ? platform::open_raw_udp(platform::Blocking::no, error)
                                                          : platform::open_raw_ipv6(platform::Blocking::no, error);
    if (error) {
        log::error(log::target::hop, "failed to create raw ICMP socket", {{"err", error.message()}});
        std::string message = log::fill_message("raw socket creation failed: {}", error.message());
        co_await send_fatal_error(outlets, ipc::engine_name::hop, ipc::error_code::socket_create_fail,
                                  std::move(message));
        co_return;
    }

    SystemProbeNetwork network(probe_socket, outlets.blocking);
    const std::uint64_t network_generation = outlets.network_generation();
    const auto source = co_await find_source(outlets, network, hop_engine, shared.target);
    if (!source) {
        co_return;
    }
    shared.route->update(network_generation, *source);
    std::function<void()> pinger = [state = PingerShared{!shared.target.is_v4(), shared.route, shared.table, shared.delays,
                                                         sightings, threads.stop(), shared.send_failures}] {
        run_pinger(state);
    };
    if (!co_await start_thread(outlets, hop_engine, threads, "hop-pinger", "failed to spawn pinger thread",
                               std::move(pinger))) {
        co_return;
    }

    HopReporter reporter(shared, outlets, network);
    co_await probe_forever(shared, network, config.interval_ms, reporter, *outlets.answer_budgets);
}

}  // namespace tarnvale::engines::hop
