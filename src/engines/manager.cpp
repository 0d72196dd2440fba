#include "engines/manager.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>

#include "engines/aggregator/aggregator.hpp"
#include "engines/attr/attr_engine.hpp"
#include "engines/bandwidth/bw_engine.hpp"
#include "engines/capture/capture_stub.hpp"
#include "ipc/wire_names.hpp"
#include "engines/hop/hop_engine.hpp"
#include "log/fill.hpp"
#include "log/log.hpp"

namespace tarnvale::engines {

namespace {

EngineEntry find_engine(std::string_view name) {
    if (name == ipc::engine_name::capture) {
        return capture::run_capture_stub;
    }
    if (name == ipc::engine_name::hop) {
        return hop::run_hop_engine;
    }
    if (name == ipc::engine_name::bandwidth) {
        return bandwidth::run_bandwidth_engine;
    }
    if (name == ipc::engine_name::attribution) {
        return attr::run_attr_engine;
    }
    return nullptr;
}

}  // namespace

void EngineHandle::cancel() const {
    asio::post(control_->strand, [control = control_] { control->signal.emit(asio::cancellation_type::terminal); });
}

EngineHandle EngineManager::launch_engine(std::string name, EngineConfig config, ipc::EventSender events) {
    auto control = std::make_shared<EngineHandle::Control>(asio::make_strand(executor_));
    // The completion handler keeps the signal alive for as long as the launch runs.
    asio::co_spawn(control->strand, run_launch(std::move(name), std::move(config), std::move(events)),
                   asio::bind_cancellation_slot(control->signal.slot(), [control](std::exception_ptr) {}));
    return EngineHandle(control);
}

ReportSender EngineManager::report_sender(const ipc::EventSender& events) {
    const std::lock_guard lock(reports_lock_);
    if (!reports_) {
        reports_ = runtime::make_bounded_queue<AggregatorReport>(executor_, report_queue_capacity);
        asio::co_spawn(asio::make_strand(executor_), aggregator::run_aggregator(reports_, events), asio::detached);
    }
    return ReportSender(reports_);
}

asio::awaitable<void> EngineManager::run_launch(std::string name, EngineConfig config, ipc::EventSender events) {
    log::info(log::target::engines, log::fill_message("engine '{}' starting for target '{}'", name, config.target));
    ReportSender reports = report_sender(events);
    const EngineEntry engine = find_engine(name);
    if (engine == nullptr) {
        log::warn(log::target::engines, log::fill_message("unknown engine '{}'", name));
        co_return;
    }
    EngineOutlets outlets{std::move(events), std::move(reports), blocking_, answer_budgets_, path_loss_, captures_,
                          network_generation_};
    co_await engine(std::move(config), std::move(outlets));
}

}  // namespace tarnvale::engines
