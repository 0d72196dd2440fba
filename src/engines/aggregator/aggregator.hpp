#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <memory>

#include "engines/reports.hpp"
#include "ipc/event_queue.hpp"

namespace tarnvale::engines::aggregator {

inline constexpr std::chrono::seconds evaluation_period{30};
// Once an evaluation is due, it waits for this long a pause in the reports:
// the hop engine sends a cycle's reports one right after another, and an
// evaluation among them would judge some hops by the new cycle and others by
// the one before (a router that has begun to answer for another at a hop's
// TTL shows only in that hop's report of the new cycle).
inline constexpr std::chrono::milliseconds report_pause{200};

// The probe's one diagnosis task: applies every report, evaluates at most once
// per period, at the first pause in the reports, and sends a degradation event
// for what it finds. Ends silently when the report queue is closed. Must run on
// a strand.
asio::awaitable<void> run_aggregator(std::shared_ptr<ReportChannel> reports, ipc::EventSender events);

}  // namespace tarnvale::engines::aggregator
