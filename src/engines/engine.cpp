#include "engines/engine.hpp"

#include "platform/raw_sockets.hpp"
#include "runtime/blocking.hpp"

namespace tarnvale::engines {

asio::awaitable<std::optional<packets::Ipv4>> resolve_target(const EngineOutlets& outlets, std::string target) {
    // Named, not built inside the co_await: GCC 12 can destroy such a temporary twice.
    auto resolve = [target = std::move(target)] { return platform::resolve_ipv4(target); };
    co_return co_await runtime::run_blocking(outlets.blocking, std::move(resolve));
}

asio::awaitable<void> send_fatal_error(const EngineOutlets& outlets, const char* engine, const char* code,
                                       std::string message) {
    ipc::Event error = ipc::ErrorEvent{ipc::unix_seconds_now(), engine, code, std::move(message), true};
    co_await outlets.events.send(std::move(error));
}

}  // namespace tarnvale::engines
