#include "engines/capture/capture_stub.hpp"

#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>

#include "ipc/wire_names.hpp"
#include "log/log.hpp"

namespace tarnvale::engines::capture {

asio::awaitable<void> run_capture_stub(EngineConfig, EngineOutlets outlets) {
    log::info(log::target::capture, "capture engine started (stub)");
    ipc::Event stub_error = ipc::ErrorEvent{
        ipc::unix_seconds_now(), std::string(ipc::engine_name::capture), std::string(ipc::error_code::engine_stub),
        "capture engine is not yet implemented; use the hop engine for loss detection", false};
    co_await outlets.events.send(std::move(stub_error));
    asio::steady_timer idle(co_await asio::this_coro::executor);
    for (;;) {
        idle.expires_after(std::chrono::seconds(60));
        co_await idle.async_wait(asio::use_awaitable);
    }
}

}  // namespace tarnvale::engines::capture
