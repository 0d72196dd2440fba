#include "loop_harness.hpp"

#include <asio/co_spawn.hpp>

namespace tarnvale::sim {

namespace {

constexpr std::size_t room = 100000;

}  // namespace

LoopHarness::LoopHarness()
    : events_(runtime::make_bounded_queue<ipc::Event>(io_.get_executor(), room)),
      reports_(runtime::make_bounded_queue<engines::AggregatorReport>(io_.get_executor(), room)),
      outlets_{ipc::EventSender(events_), engines::ReportSender(reports_), unused_pool_.get_executor(),
               std::make_shared<engines::AnswerBudgets>()} {}

bool LoopHarness::run(asio::awaitable<void> loop) {
    bool ended_by_exception = false;
    asio::co_spawn(io_, std::move(loop),
                   [&ended_by_exception](std::exception_ptr ended) { ended_by_exception = ended != nullptr; });
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
