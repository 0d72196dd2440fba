#include "engines/bandwidth/bw_engine.hpp"

#include <asio/this_coro.hpp>

#include "engines/bandwidth/bw_receiver.hpp"
#include "engines/bandwidth/train_packet.hpp"
#include "engines/bandwidth/train_sweep.hpp"
#include "engines/capture_events.hpp"
#include "ipc/wire_names.hpp"
#include "log/fill.hpp"
#include "log/log.hpp"
#include "platform/raw_sockets.hpp"

namespace tarnvale::engines::bandwidth {

namespace {

constexpr auto target_log = log::target::bandwidth;

}  // namespace

asio::awaitable<void> run_bandwidth_engine(EngineConfig config, EngineOutlets outlets) {
    std::string no_target = "bandwidth engine requires a target IP or hostname";
    const auto target =
        co_await resolve_target(outlets, config.target, ipc::engine_name::bandwidth, std::move(no_target));
    if (!target) {
        co_return;
    }
    log::info(
        target_log, "bandwidth engine starting",
        {{"target", packets::to_text(*target)}, {"max_hops", config.max_hops}, {"probe_count", config.probe_count}});
    const auto samples = std::make_shared<HopSampleTable>(std::size_t{config.max_hops} + 1);
    const auto flow_samples = std::make_shared<FlowSampleTable>(train_flow_count, std::size_t{config.max_hops} + 1);
    const auto trains = std::make_shared<TrainRegistry>();
    const auto distance = std::make_shared<TargetDistance>(std::size_t{config.max_hops} + 1);

    // The trains' source port, held for as long as the engine runs, tells their
    // answers from those of another program's trains to the same target.
    const auto own_port = co_await hold_udp_port(outlets, {ipc::engine_name::bandwidth, target_log}, *target);
    if (!own_port) {
        co_return;
    }

    const auto route = std::make_shared<PathRoute>();
    runtime::EngineThreads threads(outlets.blocking);
    // Trains sent before the capture runs would have their answers missed.
    auto receive = [state = BandwidthReceiverShared{*target, own_port->port, trains, samples, flow_samples, distance,
                                                    threads.stop()}](const capture::ReceiverCapture& capture) {
        run_bandwidth_receiver(state, capture);
    };
    if (!co_await start_receiver(outlets, {ipc::engine_name::bandwidth, target_log}, threads, config.interface,
                                 "bw-receiver", "failed to spawn bw receiver thread", std::move(receive), route)) {
        co_return;
    }

    std::error_code error;
    const platform::Socket socket = target->is_v4() ? platform::open_raw_udp(platform::Blocking::yes, error)
                                                    : platform::open_raw_ipv6(platform::Blocking::yes, error);
    if (error) {
        log::error(target_log, "failed to create raw UDP socket", {{"err", error.message()}});
        std::string message = log::fill_message("raw socket creation failed: {}", error.message());
        co_await send_fatal_error(outlets, ipc::engine_name::bandwidth, ipc::error_code::socket_create_fail,
                                  std::move(message));
        co_return;
    }

    SystemProbeNetwork network(socket, outlets.blocking);
    const std::uint64_t network_generation = outlets.network_generation();
    const auto source = co_await find_source(outlets, network, {ipc::engine_name::bandwidth, target_log}, *target);
    if (!source) {
        co_return;
    }
    route->update(network_generation, *source);
    const TrainShared shared{*target,
                             own_port->port,
                             config.max_hops,
                             config.probe_count,
                             config.interval_ms,
                             samples,
                             flow_samples,
                             trains,
                             distance,
                             route};
    co_await send_trains_forever(shared, network, outlets);
}

}  // namespace tarnvale::engines::bandwidth
