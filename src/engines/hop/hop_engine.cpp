#include "engines/hop/hop_engine.hpp"

#include <asio/steady_timer.hpp>
#include <random>

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

using Clock = std::chrono::steady_clock;
constexpr EngineIdentity hop_engine{ipc::engine_name::hop, log::target::hop};
// Opening a capture normally takes milliseconds but has been seen to take three
// seconds on a loaded machine with other captures opening at the same time.
constexpr std::chrono::seconds capture_start_limit{10};

// Waits, for a bounded time, until the receiver's capture runs or has failed.
asio::awaitable<std::pair<CaptureStatus::State, std::string>> wait_for_capture(const CaptureStatus& status) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    const auto until = Clock::now() + capture_start_limit;
    auto current = status.get();
    while (current.first == CaptureStatus::State::starting && Clock::now() < until) {
        timer.expires_after(std::chrono::milliseconds(10));
        co_await timer.async_wait(asio::use_awaitable);
        current = status.get();
    }
    co_return current;
}

// Closes the sighting queue when the engine ends, so that a pinger waiting for
// sightings wakes at once.
struct CloseOnExit {
    std::shared_ptr<SightingQueue> queue;
    ~CloseOnExit() { queue->close(); }
};

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
    const HopShared shared{*target,
                           config.max_hops,
                           std::make_shared<HopTable>(table_entries),
                           std::make_shared<PendingProbes>(),
                           std::make_shared<DelayTable>(table_entries),
                           static_cast<std::uint16_t>(std::random_device{}()),
                           std::make_shared<SendFailures>(send_failure_notice_period)};

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
    const auto source = co_await find_source(outlets, network, hop_engine, shared.target);
    if (!source) {
        co_return;
    }
    auto sightings = std::make_shared<SightingQueue>(sighting_queue_capacity);
    runtime::EngineThreads threads(outlets.blocking);
    const CloseOnExit close_sightings{sightings};
    std::function<void()> pinger = [state = PingerShared{!shared.target.is_v4(), *source, shared.table, shared.delays,
                                                         sightings, threads.stop(), shared.send_failures}] {
        run_pinger(state);
    };
    if (!co_await start_thread(outlets, hop_engine, threads, "hop-pinger", "failed to spawn pinger thread",
                               std::move(pinger))) {
        co_return;
    }
    auto capture_status = std::make_shared<CaptureStatus>();
    std::function<void()> receiver = [state = ReceiverShared{shared.target, shared.pending, shared.table, shared.delays,
                                                             sightings, threads.stop(), capture_status}] {
        run_receiver(state);
    };
    if (!co_await start_thread(outlets, hop_engine, threads, "hop-receiver", "failed to spawn hop receiver thread",
                               std::move(receiver))) {
        co_return;
    }
    // A probe sent before the capture runs would have its reply missed and count as lost.
    const auto [capture_state, capture_error] = co_await wait_for_capture(*capture_status);
    if (capture_state == CaptureStatus::State::open_failed) {
        std::string message = log::fill_message("pcap capture open failed: {}", capture_error);
        co_await send_fatal_error(outlets, ipc::engine_name::hop, ipc::error_code::capture_open_fail,
                                  std::move(message));
    }

    HopReporter reporter(shared, outlets, network);
    co_await probe_forever(shared, network, *source, config.interval_ms, reporter, *outlets.answer_budgets);
}

}  // namespace tarnvale::engines::hop
