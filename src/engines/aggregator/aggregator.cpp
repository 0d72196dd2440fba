#include "engines/aggregator/aggregator.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/channel_error.hpp>
#include <asio/use_awaitable.hpp>

#include "engines/aggregator/diagnosis.hpp"
#include "engines/aggregator/evaluation_schedule.hpp"
#include "log/log.hpp"
#include "runtime/operation_deadline.hpp"

namespace tarnvale::engines::aggregator {

namespace {

ipc::DegradationEvent to_event(const Diagnosis& diagnosis) {
    return ipc::DegradationEvent{ipc::unix_seconds_now(),
                                 diagnosis.severity,
                                 diagnosis.trend_min,
                                 diagnosis.eta_s,
                                 diagnosis.cause,
                                 diagnosis.cause_detail,
                                 diagnosis.hop,
                                 diagnosis.loss_now,
                                 diagnosis.trend_pct_per_min};
}

ipc::LatencyEvent to_event(const LatencyDiagnosis& diagnosis) {
    return ipc::LatencyEvent{ipc::unix_seconds_now(),
                             diagnosis.severity,
                             diagnosis.cause,
                             diagnosis.cause_detail,
                             diagnosis.hop,
                             diagnosis.addr,
                             diagnosis.baseline_ms,
                             diagnosis.current_ms,
                             diagnosis.added_ms};
}

asio::awaitable<void> send_latency(const DiagnosisState& state, const ipc::EventSender& events) {
    const auto diagnosis = state.evaluate_latency();
    if (!diagnosis) {
        co_return;
    }
    log::info(log::target::aggregator, "latency event",
              {{"hop", diagnosis->hop},
               {"baseline_ms", diagnosis->baseline_ms},
               {"current_ms", diagnosis->current_ms},
               {"cause", diagnosis->cause},
               {"severity", diagnosis->severity}});
    ipc::Event event = to_event(*diagnosis);
    co_await events.send(std::move(event));
}

}  // namespace

asio::awaitable<void> run_aggregator(std::shared_ptr<ReportChannel> reports, ipc::EventSender events) {
    DiagnosisState state;
    runtime::OperationDeadline deadline(co_await asio::this_coro::executor);
    EvaluationSchedule schedule(std::chrono::steady_clock::now());
    for (;;) {
        auto [error, report] = co_await reports->async_receive(
            asio::bind_cancellation_slot(deadline.arm(schedule.wait(std::chrono::steady_clock::now())),
                                         asio::experimental::as_tuple(asio::use_awaitable)));
        const bool timed_out = deadline.disarm();
        if (!error) {
            state.apply(report);
        } else if (!timed_out) {
            co_return;  // the queue is closed and empty
        }
        const auto now = std::chrono::steady_clock::now();
        const auto* queue = error ? nullptr : std::get_if<QueueReport>(&report);
        if (queue && queue->hop != 0 && schedule.take_latency(now)) {
            co_await send_latency(state, events);
        }
        if (!schedule.take_evaluation(now, timed_out)) {
            continue;
        }
        const auto diagnosis = state.evaluate();
        if (!diagnosis) {
            continue;
        }
        log::info(log::target::aggregator, "degradation event",
                  {{"hop", diagnosis->hop},
                   {"loss_now", diagnosis->loss_now},
                   {"eta_secs", diagnosis->eta_s},
                   {"cause", diagnosis->cause},
                   {"severity", diagnosis->severity}});
        ipc::Event event = to_event(*diagnosis);
        co_await events.send(std::move(event));
    }
}

}  // namespace tarnvale::engines::aggregator
