#include "engines/engine.hpp"

#include "ipc/wire_names.hpp"
#include "platform/raw_sockets.hpp"
#include "runtime/blocking.hpp"

namespace tarnvale::engines {

asio::awaitable<std::optional<packets::IpAddress>> resolve_target(const EngineOutlets& outlets, std::string target,
                                                             std::string_view engine, std::string no_target_message) {
    // Named, not built inside the co_await: GCC 12 can destroy such a temporary twice.
    auto resolve = [target = std::move(target)] { return platform::resolve_address(target); };
    const auto address = co_await runtime::run_blocking(outlets.blocking, std::move(resolve));
    if (!address) {
        co_await send_fatal_error(outlets, engine, ipc::error_code::no_target, std::move(no_target_message));
    }
    co_return address;
}

asio::awaitable<void> send_fatal_error(const EngineOutlets& outlets, std::string_view engine, std::string_view code,
                                       std::string message) {
    ipc::Event error =
        ipc::ErrorEvent{ipc::unix_seconds_now(), std::string(engine), std::string(code), std::move(message), true};
    co_await outlets.events.send(std::move(error));
}

}  // namespace tarnvale::engines
