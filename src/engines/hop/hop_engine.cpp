#include "engines/hop/hop_engine.hpp"

#include <asio/steady_timer.hpp>
#include <algorithm>
#include <vector>

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

namespace tarnvale::engines::hop {

namespace {

using Clock = std::chrono::steady_clock;
// Opening a capture normally takes milliseconds but has been seen to take three
// seconds on a loaded machine with other captures opening at the same time.
constexpr std::chrono::seconds capture_start_limit{10};

struct HopShared {
    packets::Ipv4 target;
    std::uint8_t max_hops;
    std::shared_ptr<HopTable> table;
    std::shared_ptr<PendingProbes> pending;
    std::shared_ptr<DelayTable> delays;
};

// Turns the hop table into hop_loss events and aggregator reports every period,
// followed by the hops' delays and the located queue.
class HopReporter {
public:
    HopReporter(const HopShared& shared, EngineOutlets outlets)
        : shared_(shared), outlets_(std::move(outlets)), next_(Clock::now() + report_period) {}

    bool due() const { return Clock::now() >= next_; }

    asio::awaitable<void> report() {
        const auto hops = shared_.table->snapshot();
        const auto last_ttl = target_distance(hops, shared_.target).value_or(shared_.max_hops);
        const std::uint64_t ts = ipc::unix_seconds_now();
        const auto loss_events = build_hop_loss_events(hops, ts, last_ttl);
        for (const ipc::HopLossEvent& event : loss_events) {
            ipc::Event hop_loss = event;
            co_await outlets_.events.send(std::move(hop_loss));
            AggregatorReport report = hop_loss_report(event, hops[event.hop]);
            co_await outlets_.reports.send(std::move(report));
        }
        const auto delays = shared_.delays->delays(Clock::now(), last_ttl);
        const auto queue = locator_.update(delays);
        for (const ipc::HopDelayEvent& event : build_hop_delay_events(loss_events, delays, queue)) {
            ipc::Event hop_delay = event;
            co_await outlets_.events.send(std::move(hop_delay));
        }
        AggregatorReport located = queue_report(ts, hops, queue);
        co_await outlets_.reports.send(std::move(located));
        next_ = Clock::now() + report_period;  // the next cycle starts a period after this one ended
    }

private:
    const HopShared& shared_;
    EngineOutlets outlets_;
    Clock::time_point next_;
    QueueLocator locator_;
};

// Waits in steps, noting overdue probes and reporting when a report is due.
asio::awaitable<void> pause(asio::steady_timer& timer, const HopShared& shared, HopReporter& reporter,
                            std::chrono::milliseconds duration) {
    const auto until = Clock::now() + duration;
    while (Clock::now() < until) {
        timer.expires_at(std::min(until, Clock::now() + probe_spacing));
        co_await timer.async_wait(asio::use_awaitable);
        settle_overdue(*shared.pending, *shared.table, Clock::now());
        if (reporter.due()) {
            co_await reporter.report();
        }
    }
}

// Sends one probe and counts it as pending.
void send_probe(const HopShared& shared, const platform::Socket& probe_socket, packets::Ipv4 source,
                std::uint16_t id, std::uint8_t ttl) {
    const auto probe = build_ttl_probe(id, ttl, source, shared.target);
    shared.pending->insert_or_assign(id, PendingProbe{Clock::now(), ttl});
    if (const auto error = platform::send_datagram(probe_socket, probe, shared.target, 0)) {
        log::warn(log::target::hop, "probe send failed", {{"ttl", ttl}, {"seq", id}, {"err", error.message()}});
        shared.pending->take(id);
    } else {
        log::info(log::target::hop, "probe sent", {{"ttl", ttl}, {"seq", id}});
    }
}

// Probing sweeps, each lasting interval_ms (or as long as its probes take), with
// the reports in between. Each step sends the lowest TTL not yet probed in the
// sweep whose responder has an answer left; a probe that another engine's
// packets left without one waits for a later step, and one still waiting when
// the sweep ends is not sent: unanswered, it would count as loss that is not
// there.
asio::awaitable<void> probe_forever(const HopShared& shared, const platform::Socket& probe_socket,
                                    packets::Ipv4 source, std::uint64_t interval_ms, HopReporter& reporter,
                                    AnswerBudgets& budgets) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    std::uint16_t next_id = 0;
    std::optional<std::uint8_t> distance;
    for (;;) {
        const auto sweep_start = Clock::now();
        const std::uint8_t last_ttl =
            last_ttl_to_probe(shared.table->snapshot(), shared.target, shared.max_hops, distance);
        const auto probing = probe_spacing * last_ttl;
        const auto sweep_end = sweep_start + std::max<Clock::duration>(std::chrono::milliseconds(interval_ms), probing);
        std::vector<std::uint8_t> waiting;
        for (std::uint8_t ttl = 1; ttl <= last_ttl && ttl != 0; ++ttl) {
            waiting.push_back(ttl);
        }
        while (!waiting.empty()) {
            const auto now = Clock::now();
            const auto ready = std::find_if(waiting.begin(), waiting.end(), [&](std::uint8_t ttl) {
                return budgets.can_answer(Responder{shared.target, ttl}, now);
            });
            if (ready != waiting.end()) {
                budgets.spend(Responder{shared.target, *ready}, 1, now);
                send_probe(shared, probe_socket, source, next_id++, *ready);
                waiting.erase(ready);
            } else if (now + probe_spacing >= sweep_end) {
                for (const std::uint8_t ttl : waiting) {
                    log::info(log::target::hop, "probe not sent: no answer left at its hop", {{"ttl", ttl}});
                }
                break;
            }
            co_await pause(timer, shared, reporter, probe_spacing);
        }
        const auto rest = std::chrono::ceil<std::chrono::milliseconds>(sweep_start +
                                                                       std::chrono::milliseconds(interval_ms) -
                                                                       Clock::now());
        // Even a sweep with nothing to probe waits a step, so that it never spins.
        co_await pause(timer, shared, reporter, std::max(rest, std::chrono::milliseconds(1)));
    }
}

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
    const auto target = co_await resolve_target(outlets, config.target, "hop", std::move(no_target));
    if (!target) {
        co_return;
    }
    log::info(log::target::hop, "hop engine starting",
              {{"target", packets::to_text(*target)}, {"max_hops", config.max_hops}});
    const std::size_t table_entries = std::size_t{config.max_hops} + 1;
    const HopShared shared{*target, config.max_hops, std::make_shared<HopTable>(table_entries),
                           std::make_shared<PendingProbes>(), std::make_shared<DelayTable>(table_entries)};

    std::error_code error;
    platform::Socket probe_socket = platform::open_raw_udp(platform::Blocking::no, error);
    if (error) {
        log::error(log::target::hop, "failed to create raw ICMP socket", {{"err", error.message()}});
        std::string message = log::fill_message("raw socket creation failed: {}", error.message());
        co_await send_fatal_error(outlets, "hop", "SOCKET_CREATE_FAIL", std::move(message));
        co_return;
    }

    auto sightings = std::make_shared<SightingQueue>(sighting_queue_capacity);
    runtime::EngineThreads threads(outlets.blocking);
    const CloseOnExit close_sightings{sightings};
    threads.spawn("hop-pinger", "failed to spawn pinger thread",
                  [pinger = PingerShared{shared.table, shared.delays, sightings, threads.stop()}] {
                      run_pinger(pinger);
                  });
    auto capture_status = std::make_shared<CaptureStatus>();
    threads.spawn("hop-receiver", "failed to spawn hop receiver thread",
                  [receiver = ReceiverShared{shared.target, shared.pending, shared.table, shared.delays, sightings,
                                             threads.stop(), capture_status}] { run_receiver(receiver); });
    // A probe sent before the capture runs would have its reply missed and count as lost.
    const auto [capture_state, capture_error] = co_await wait_for_capture(*capture_status);
    if (capture_state == CaptureStatus::State::open_failed) {
        std::string message = log::fill_message("pcap capture open failed: {}", capture_error);
        co_await send_fatal_error(outlets, "hop", "NPCAP_NOT_FOUND", std::move(message));
    }

    const packets::Ipv4 source = platform::source_address_for(shared.target, error);
    if (error) {
        runtime::fail_fast(error.message());
    }
    HopReporter reporter(shared, outlets);
    co_await probe_forever(shared, probe_socket, source, config.interval_ms, reporter, *outlets.answer_budgets);
}

}  // namespace tarnvale::engines::hop
