#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/strand.hpp>
#include <memory>
#include <functional>
#include <mutex>
#include <string>

#include "engines/engine.hpp"
#include "ipc/event_queue.hpp"

namespace tarnvale::engines {

// Cancels one launch. Dropping a handle without cancelling it leaves the engine running.
class EngineHandle {
public:
    struct Control {
        explicit Control(asio::strand<asio::any_io_executor> launch_strand) : strand(std::move(launch_strand)) {}
        asio::strand<asio::any_io_executor> strand;
        asio::cancellation_signal signal;
    };

    explicit EngineHandle(std::shared_ptr<Control> control) : control_(std::move(control)) {}

    // Stops the launch at its next suspension point, and the engine with it.
    // Cancelling a launch that has ended does nothing.
    void cancel() const;

private:
    std::shared_ptr<Control> control_;
};

// Starts engines by name. The report queue and the one aggregator come into
// being with the first launch and stay until the process ends.
class EngineManager {
public:
    // `network_generation` counts the host's settled network changes (HostNetwork's).
    EngineManager(asio::any_io_executor executor, runtime::BlockingExecutor blocking,
                  std::function<std::uint64_t()> network_generation)
        : executor_(std::move(executor)),
          blocking_(std::move(blocking)),
          network_generation_(std::move(network_generation)) {}

    // Starts the named engine with the configuration (configure_engine's).
    EngineHandle launch_engine(std::string name, EngineConfig config, ipc::EventSender events);

private:
    asio::awaitable<void> run_launch(std::string name, EngineConfig config, ipc::EventSender events);
    ReportSender report_sender(const ipc::EventSender& events);

    asio::any_io_executor executor_;
    runtime::BlockingExecutor blocking_;
    std::mutex reports_lock_;
    std::shared_ptr<ReportChannel> reports_;  // guarded by reports_lock_
    const std::shared_ptr<AnswerBudgets> answer_budgets_ = std::make_shared<AnswerBudgets>();
    const std::shared_ptr<PathLoss> path_loss_ = std::make_shared<PathLoss>();
    const std::shared_ptr<const capture::CaptureOpener> captures_ = std::make_shared<capture::LiveCaptureOpener>();
    const std::function<std::uint64_t()> network_generation_;
};

}  // namespace tarnvale::engines
