#include "engines/capture_events.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>

#include "ipc/wire_names.hpp"
#include "log/fill.hpp"

namespace tarnvale::engines {

namespace {

using Clock = std::chrono::steady_clock;
// Opening a capture normally takes milliseconds but has been seen to take three
// seconds on a loaded machine with other captures opening at the same time.
constexpr std::chrono::seconds capture_start_limit{10};
constexpr std::chrono::milliseconds start_poll{10};

asio::awaitable<void> report_capture_failures(std::shared_ptr<const capture::CaptureStatus> status,
                                              ipc::EventSender events, std::string_view engine,
                                              std::shared_ptr<runtime::StopFlag> stop) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    std::uint64_t reported = status->get().read_failures;
    while (!stop->raised()) {
        timer.expires_after(capture_failure_poll);
        co_await timer.async_wait(asio::use_awaitable);
        const auto current = status->get();
        if (current.read_failures == reported) {
            continue;
        }
        reported = current.read_failures;
        ipc::Event error = ipc::ErrorEvent{ipc::unix_seconds_now(), std::string(engine),
                                           std::string(ipc::error_code::capture_read_fail),
                                           log::fill_message("pcap capture read failed: {}", current.error), false};
        co_await events.send(std::move(error));
    }
}

}  // namespace

asio::awaitable<bool> await_capture(const capture::CaptureStatus& status, const EngineOutlets& outlets,
                                    std::string_view engine) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    const auto until = Clock::now() + capture_start_limit;
    auto current = status.get();
    while (current.state == capture::CaptureState::starting && Clock::now() < until) {
        timer.expires_after(start_poll);
        co_await timer.async_wait(asio::use_awaitable);
        current = status.get();
    }
    if (current.state != capture::CaptureState::open_failed) {
        co_return true;
    }
    std::string message = log::fill_message("pcap capture open failed: {}", current.error);
    co_await send_fatal_error(outlets, engine, ipc::error_code::capture_open_fail, std::move(message));
    co_return false;
}

void spawn_capture_failure_reports(const asio::any_io_executor& executor,
                                   std::shared_ptr<const capture::CaptureStatus> status, ipc::EventSender events,
                                   std::string_view engine, std::shared_ptr<runtime::StopFlag> stop) {
    asio::co_spawn(executor, report_capture_failures(std::move(status), std::move(events), engine, std::move(stop)),
                   asio::detached);
}

asio::awaitable<bool> start_receiver(const EngineOutlets& outlets, EngineIdentity engine,
                                     runtime::EngineThreads& threads, const std::optional<std::string>& device,
                                     std::string_view thread_name, std::string_view failure,
                                     std::function<void(const capture::ReceiverCapture&)> receive,
                                     std::shared_ptr<const PathRoute> path) {
    auto status = std::make_shared<capture::CaptureStatus>();
    capture::NetworkFollowing network{outlets.network_generation, {}};
    if (path) {
        network.path_source = [path = std::move(path)] { return path->source(); };
    }
    std::function<void()> body = [receive = std::move(receive),
                                  capture = capture::ReceiverCapture{outlets.captures, device, status,
                                                                     std::move(network)}] {
        receive(capture);
    };
    if (!co_await start_thread(outlets, engine, threads, thread_name, failure, std::move(body)) ||
        !co_await await_capture(*status, outlets, engine.name)) {
        co_return false;
    }
    spawn_capture_failure_reports(co_await asio::this_coro::executor, std::move(status), outlets.events, engine.name,
                                  threads.stop());
    co_return true;
}

}  // namespace tarnvale::engines
