#include "engines/bandwidth/bw_engine.hpp"

#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "engines/bandwidth/bw_receiver.hpp"
#include "engines/bandwidth/train_packet.hpp"
#include "log/fill.hpp"
#include "log/log.hpp"
#include "platform/process.hpp"
#include "platform/raw_sockets.hpp"
#include "runtime/blocking.hpp"
#include "runtime/fail_fast.hpp"

namespace tarnvale::engines::bandwidth {

namespace {

constexpr auto target_log = log::target::bandwidth;


// A plain record, not a bare error code, so that the awaiting task receives it
// as a value instead of having it thrown.
struct TrainSent {
    std::error_code error;
};

// Sends the ten packets of one train, each followed by a precise 5 ms wait.
// Blocking: runs on the pool for blocking jobs. The error of the failed send, if any.
TrainSent send_train(const platform::Socket& socket, std::uint16_t train_id, std::uint8_t hop,
                           packets::Ipv4 target) {
    std::error_code bind_error;
    const packets::Ipv4 source = platform::source_address_for(target, bind_error);
    if (bind_error) {
        runtime::fail_fast(bind_error.message());
    }
    const auto started = std::chrono::steady_clock::now();
    for (unsigned index = 0; index < packets_per_train; ++index) {
        const auto packet = build_train_packet(train_id, hop, index, source, target);
        if (const auto error = platform::send_datagram(socket, packet, target, train_destination_port(hop, index))) {
            return {error};
        }
        // Deadlines from the train's start, so that the spacing does not drift.
        platform::sleep_until_precise(started + packet_spacing * (index + 1));
    }
    return {};
}

asio::awaitable<void> report_estimate(std::uint8_t hop, const HopSampleTable& samples, BaselineCell& baseline,
                                      const EngineOutlets& outlets) {
    auto previous = hop >= 2 ? samples.samples(static_cast<std::uint8_t>(hop - 1)) : std::vector<double>{};
    const auto estimate = estimate_hop(hop, samples.samples(hop), std::move(previous), baseline);
    if (!estimate) {
        co_return;
    }
    log::info(target_log, "bw_estimate",
              {{"hop", hop}, {"bw_mbps", estimate->mbps}, {"baseline_mbps", estimate->baseline_mbps},
               {"bottleneck", estimate->bottleneck}, {"ci_level", estimate->level}});
    ipc::Event event = ipc::BwEstimateEvent{
        ipc::unix_seconds_now(), hop, "", estimate->mbps, estimate->baseline_mbps, estimate->bottleneck,
        ipc::BandwidthConfidence{estimate->level, estimate->p05_mbps, estimate->p95_mbps, estimate->sample_count}};
    co_await outlets.events.send(std::move(event));
    AggregatorReport report = BottleneckReport{hop, estimate->bottleneck};
    co_await outlets.reports.send(std::move(report));
}

}  // namespace

std::chrono::milliseconds rest_after_sweep(std::uint8_t max_hops, std::uint8_t last_hop, std::uint32_t probe_count,
                                           std::uint64_t interval_ms) {
    const auto skipped_trains = static_cast<std::uint64_t>(max_hops > last_hop ? max_hops - last_hop : 0) *
                                probe_count;
    const auto one_train = packet_spacing * packets_per_train + pause_after_train;
    return std::chrono::milliseconds(interval_ms) + one_train * skipped_trains;
}

asio::awaitable<void> run_bandwidth_engine(EngineConfig config, EngineOutlets outlets) {
    std::string no_target = "bandwidth engine requires a target IP or hostname";
    const auto target = co_await resolve_target(outlets, config.target, "bw", std::move(no_target));
    if (!target) {
        co_return;
    }
    log::info(target_log, "bandwidth engine starting",
              {{"target", packets::to_text(*target)}, {"max_hops", config.max_hops},
               {"probe_count", config.probe_count}});
    const auto samples = std::make_shared<HopSampleTable>(std::size_t{config.max_hops} + 1);
    const auto trains = std::make_shared<TrainRegistry>();
    const auto distance = std::make_shared<TargetDistance>(std::size_t{config.max_hops} + 1);
    BaselineCell baseline;

    std::error_code error;
    const platform::Socket socket = platform::open_raw_udp(platform::Blocking::yes, error);
    if (error) {
        log::error(target_log, "failed to create raw UDP socket", {{"err", error.message()}});
        std::string message = log::fill_message("raw socket creation failed: {}", error.message());
        co_await send_fatal_error(outlets, "bw", "SOCKET_CREATE_FAIL", std::move(message));
        co_return;
    }

    runtime::EngineThreads threads(outlets.blocking);
    threads.spawn("bw-receiver", "failed to spawn bw receiver thread",
                  [receiver = BandwidthReceiverShared{*target, trains, samples, distance, threads.stop()}] {
                      run_bandwidth_receiver(receiver);
                  });

    asio::steady_timer timer(co_await asio::this_coro::executor);
    TrainCounter counter;
    for (;;) {
        // The target's distance is read before every hop: the first train to reach
        // the target ends the sweep there.
        std::uint8_t last_hop = 0;
        for (std::uint8_t hop = 1; hop <= distance->distance().value_or(config.max_hops) && hop != 0; ++hop) {
            last_hop = hop;
            for (std::uint32_t train = 0; train < config.probe_count; ++train) {
                const std::uint16_t train_id = counter.next();
                const auto registered = std::chrono::steady_clock::now();
                trains->add(TrainRecord{train_id, hop, packets_per_train, registered, {}});
                outlets.answer_budgets->spend(Responder{*target, hop}, packets_per_train, registered);
                auto send = [&socket, train_id, hop, destination = *target] {
                    return send_train(socket, train_id, hop, destination);
                };
                if (const auto sent = co_await runtime::run_blocking(outlets.blocking, std::move(send)); sent.error) {
                    log::warn(target_log, "train send failed",
                              {{"hop", hop}, {"train_id", train_id}, {"err", sent.error.message()}});
                    trains->remove(train_id);
                    continue;
                }
                log::info(target_log, "train sent", {{"hop", hop}, {"train_id", train_id}});
                timer.expires_after(pause_after_train);
                co_await timer.async_wait(asio::use_awaitable);
                trains->purge_older_than(std::chrono::steady_clock::now(), train_lifetime);
            }
            co_await report_estimate(hop, *samples, baseline, outlets);
        }
        timer.expires_after(rest_after_sweep(config.max_hops, last_hop, config.probe_count, config.interval_ms));
        co_await timer.async_wait(asio::use_awaitable);
    }
}

}  // namespace tarnvale::engines::bandwidth
