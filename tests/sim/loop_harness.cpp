#include "loop_harness.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

namespace tarnvale::sim {

namespace {

constexpr std::size_t room = 100000;

asio::awaitable<void> hand_over(std::shared_ptr<runtime::BoundedQueue<engines::AggregatorReport>> reports,
                                LoopHarness::ReportHandler on_report) {
    for (;;) {
        auto [error, report] = co_await reports->async_receive(asio::experimental::as_tuple(asio::use_awaitable));
        if (error) {
            co_return;  // closed: the loop has ended
        }
        on_report(std::move(report));
    }
}

}  // namespace

LoopHarness::LoopHarness() : LoopHarness([] { return std::uint64_t{0}; }) {}

LoopHarness::LoopHarness(std::function<std::uint64_t()> network_generation)
    : events_(runtime::make_bounded_queue<ipc::Event>(io_.get_executor(), room)),
      reports_(runtime::make_bounded_queue<engines::AggregatorReport>(io_.get_executor(), room)),
      outlets_{ipc::EventSender(events_), engines::ReportSender(reports_), unused_pool_.get_executor(),
               std::make_shared<engines::AnswerBudgets>(), std::make_shared<engines::PathLoss>(),
               nullptr /* no capture: the path hands over the answers */, std::move(network_generation)} {}

bool LoopHarness::run(asio::awaitable<void> loop, ReportHandler on_report) {
    if (on_report) {
        asio::co_spawn(io_, hand_over(reports_, std::move(on_report)), asio::detached);
    }
    bool ended_by_exception = false;
    asio::co_spawn(io_, std::move(loop), [this, &ended_by_exception](std::exception_ptr ended) {
        ended_by_exception = ended != nullptr;
        reports_->close();
    });
    io_.run();
    io_.restart();
    return ended_by_exception;
}

std::vector<ipc::Event> LoopHarness::take_events() {
    std::vector<ipc::Event> taken;
    while (events_->ready()) {
        events_->try_receive([&taken](asio::error_code, ipc::Event event) { taken.push_back(std::move(event)); });
    }
    return taken;
}

}  // namespace tarnvale::sim
