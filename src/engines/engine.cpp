#include "engines/engine.hpp"

namespace tarnvale::engines {

asio::awaitable<void> send_fatal_error(const EngineOutlets& outlets, const char* engine, const char* code,
                                       std::string message) {
    ipc::Event error = ipc::ErrorEvent{ipc::unix_seconds_now(), engine, code, std::move(message), true};
    co_await outlets.events.send(std::move(error));
}

}  // namespace tarnvale::engines
