#include "probe/watchdog.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "ipc/wire_names.hpp"
#include "log/fill.hpp"
#include "log/log.hpp"
#include "platform/process.hpp"

namespace tarnvale::probe {

namespace {

asio::awaitable<void> watch(std::uint32_t client_pid, ipc::EventSender events) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    do {
        timer.expires_after(watchdog_period);
        co_await timer.async_wait(asio::use_awaitable);
    } while (platform::process_is_running(client_pid));

    log::warn(log::target::probe, log::fill_message("Python process {} gone, shutting down", client_pid));
    ipc::Event gone =
        ipc::ErrorEvent{ipc::unix_seconds_now(), std::string(ipc::engine_name::watchdog),
                        std::string(ipc::error_code::python_died), "Python process no longer alive", true};
    co_await events.send(std::move(gone));
    timer.expires_after(watchdog_grace);
    co_await timer.async_wait(asio::use_awaitable);
    platform::exit_immediately(0);
}

}  // namespace

void start_watchdog(const asio::any_io_executor& executor, std::uint32_t client_pid, ipc::EventSender events) {
    asio::co_spawn(executor, watch(client_pid, std::move(events)), asio::detached);
}

}  // namespace tarnvale::probe
