#include "engines/hop/hop_engine.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>

#include "engines/hop/hop_report.hpp"
#include "engines/hop/pending_probes.hpp"
#include "engines/hop/pinger.hpp"
#include "engines/hop/probe_packet.hpp"
#include "engines/hop/receiver.hpp"
#include "log/fill.hpp"
#include "log/log.hpp"
#include "platform/raw_sockets.hpp"
#include "runtime/blocking.hpp"
#include "runtime/fail_fast.hpp"
#include "runtime/operation_deadline.hpp"

namespace tarnvale::engines::hop {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds capture_start_limit{2};

struct HopShared {
    packets::Ipv4 target;
    std::uint8_t max_hops;
    std::shared_ptr<HopTable> table;
    std::shared_ptr<PendingProbes> pending;
};

asio::awaitable<void> send_error(const EngineOutlets& outlets, const char* code, std::string message) {
    ipc::Event error = ipc::ErrorEvent{ipc::unix_seconds_now(), "hop", code, std::move(message), true};
    co_await outlets.events.send(std::move(error));
}

// Records every probe whose reply is overdue as lost.
void expire_unanswered(const HopShared& shared) {
    const auto overdue = Clock::now() - reply_deadline;
    const auto expired =
        shared.pending->take_if([overdue](std::uint16_t, const PendingProbe& probe) { return probe.sent <= overdue; });
    for (const auto& [id, probe] : expired) {
        shared.table->record_unanswered(probe.ttl);
    }
}

// Waits, noting overdue probes every step of the way.
asio::awaitable<void> pause(asio::steady_timer& timer, const HopShared& shared, std::chrono::milliseconds duration) {
    const auto until = Clock::now() + duration;
    while (Clock::now() < until) {
        timer.expires_at(std::min(until, Clock::now() + probe_spacing));
        co_await timer.async_wait(asio::use_awaitable);
        expire_unanswered(shared);
    }
}

// The highest TTL to probe in the coming sweep. Once the target has answered,
// probes beyond its distance would only reach the target again, where they
// count against its ICMP error rate limit; while the distance is unknown (at
// start, or after the TTL at that distance answered from elsewhere) the sweep
// goes out to max_hops.
std::uint8_t last_ttl_to_probe(const HopShared& shared, std::optional<std::uint8_t>& distance) {
    const auto hops = shared.table->snapshot();
    const auto found = target_distance(hops, shared.target);
    if (distance && hops[*distance].addr != shared.target) {
        distance.reset();
    } else {
        distance = found;
    }
    return distance.value_or(shared.max_hops);
}

asio::awaitable<void> sweep_forever(HopShared shared, platform::Socket probe_socket, packets::Ipv4 source,
                                    std::uint64_t interval_ms) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    std::uint16_t next_id = 0;
    std::optional<std::uint8_t> distance;
    for (;;) {
        const std::uint8_t last_ttl = last_ttl_to_probe(shared, distance);
        for (std::uint8_t ttl = 1; ttl <= last_ttl && ttl != 0; ++ttl) {
            const std::uint16_t id = next_id++;
            const auto probe = build_ttl_probe(id, ttl, source, shared.target);
            shared.pending->insert_or_assign(id, PendingProbe{Clock::now(), ttl});
            if (const auto error = platform::send_datagram(probe_socket, probe, shared.target, 0)) {
                log::warn(log::target::hop, "probe send failed", {{"ttl", ttl}, {"seq", id}, {"err", error.message()}});
                shared.pending->take(id);
            } else {
                log::info(log::target::hop, "probe sent", {{"ttl", ttl}, {"seq", id}});
            }
            co_await pause(timer, shared, probe_spacing);
        }
        const std::uint64_t probing_ms = std::uint64_t{last_ttl} * probe_spacing.count();
        if (probing_ms < interval_ms) {
            co_await pause(timer, shared, std::chrono::milliseconds(interval_ms - probing_ms));
        }
    }
}

asio::awaitable<void> report_forever(HopShared shared, EngineOutlets outlets) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    for (;;) {
        timer.expires_after(report_period);
        co_await timer.async_wait(asio::use_awaitable);
        const auto hops = shared.table->snapshot();
        const auto last_ttl = target_distance(hops, shared.target).value_or(shared.max_hops);
        const auto events = build_hop_loss_events(hops, ipc::unix_seconds_now(), last_ttl);
        for (const ipc::HopLossEvent& event : events) {
            ipc::Event hop_loss = event;
            co_await outlets.events.send(std::move(hop_loss));
            AggregatorReport report = HopLossReport{event.ts, event.loss_pct, event.hop};
            co_await outlets.reports.send(std::move(report));
        }
    }
}

// Closes the sighting queue when the engine ends, so that a pinger waiting for
// sightings wakes at once.
struct CloseOnExit {
    std::shared_ptr<SightingQueue> queue;
    ~CloseOnExit() { queue->close(); }
};

}  // namespace

asio::awaitable<void> run_hop_engine(EngineConfig config, EngineOutlets outlets) {
    // Named, not a temporary inside the co_await: GCC 12 destroys such temporaries twice.
    auto resolve = [target_text = config.target] { return platform::resolve_ipv4(target_text); };
    const auto target = co_await runtime::run_blocking(outlets.blocking, std::move(resolve));
    if (!target) {
        co_await send_error(outlets, "NO_TARGET", "hop engine requires a target IP or hostname");
        co_return;
    }
    log::info(log::target::hop, "hop engine starting",
              {{"target", packets::to_text(*target)}, {"max_hops", config.max_hops}});
    const HopShared shared{*target, config.max_hops, std::make_shared<HopTable>(std::size_t{config.max_hops} + 1),
                           std::make_shared<PendingProbes>()};

    std::error_code error;
    platform::Socket probe_socket = platform::open_raw_udp(platform::Blocking::no, error);
    if (error) {
        log::error(log::target::hop, "failed to create raw ICMP socket", {{"err", error.message()}});
        co_await send_error(outlets, "SOCKET_CREATE_FAIL",
                            log::fill_message("raw socket creation failed: {}", error.message()));
        co_return;
    }

    auto sightings = std::make_shared<SightingQueue>(sighting_queue_capacity);
    runtime::EngineThreads threads(outlets.blocking);
    const CloseOnExit close_sightings{sightings};
    threads.spawn("hop-pinger", "failed to spawn pinger thread",
                  [pinger = PingerShared{shared.table, sightings, threads.stop()}] { run_pinger(pinger); });
    const auto executor = co_await asio::this_coro::executor;
    auto capturing = runtime::make_bounded_queue<bool>(executor, 1);
    threads.spawn("hop-receiver", "failed to spawn hop receiver thread",
                  [receiver = ReceiverShared{shared.target, shared.pending, shared.table, sightings, outlets.events,
                                             threads.stop(), capturing}] { run_receiver(receiver); });
    // A probe sent before the capture runs would have its reply missed and count as lost.
    runtime::OperationDeadline deadline(executor);
    co_await capturing->async_receive(
        asio::bind_cancellation_slot(deadline.arm(capture_start_limit), asio::experimental::as_tuple(asio::use_awaitable)));
    deadline.disarm();

    const packets::Ipv4 source = platform::source_address_for(shared.target, error);
    if (error) {
        runtime::fail_fast(error.message());
    }
    using namespace asio::experimental::awaitable_operators;
    co_await (sweep_forever(shared, std::move(probe_socket), source, config.interval_ms) &&
              report_forever(shared, outlets));
}

}  // namespace tarnvale::engines::hop
