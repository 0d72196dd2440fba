#pragma once

#include <asio/awaitable.hpp>
#include <memory>

#include "engines/reports.hpp"
#include "ipc/event_queue.hpp"

namespace tarnvale::engines::aggregator {

// The probe's one diagnosis task: applies every report, evaluates at most once
// per period, at the first pause in the reports, and sends a degradation event
// for what it finds. Ends silently when the report queue is closed. Must run on
// a strand.
asio::awaitable<void> run_aggregator(std::shared_ptr<ReportChannel> reports, ipc::EventSender events);

}  // namespace tarnvale::engines::aggregator
