#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <functional>
#include <memory>
#include <vector>

#include "engines/engine.hpp"
#include "ipc/event_queue.hpp"

namespace tarnvale::sim {

// An engine loop's outlets on one thread, for a run in simulated time: the
// queues are large enough never to make the loop wait, and what the loop put
// on them is kept for the test to read.
class LoopHarness {
public:
    using ReportHandler = std::function<void(engines::AggregatorReport)>;

    LoopHarness();
    // With the host's network changes counted by `network_generation`.
    explicit LoopHarness(std::function<std::uint64_t()> network_generation);

    const engines::EngineOutlets& outlets() const { return outlets_; }

    // Runs the loop until it ends; true when it ended by an exception, as a
    // loop run over a simulated path does when the path's time is over. With a
    // handler, each report goes to it as the loop sends it (at the loop's next
    // wait), as to the aggregator; without one, reports stay on their queue.
    bool run(asio::awaitable<void> loop, ReportHandler on_report = {});

    // Everything sent so far, in order, taken off the queue.
    std::vector<ipc::Event> take_events();

private:
    asio::io_context io_;
    asio::thread_pool unused_pool_{1};
    std::shared_ptr<ipc::EventChannel> events_;
    std::shared_ptr<runtime::BoundedQueue<engines::AggregatorReport>> reports_;
    engines::EngineOutlets outlets_;
};

}  // namespace tarnvale::sim
