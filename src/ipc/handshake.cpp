#include "ipc/handshake.hpp"

#include <charconv>

#include "ipc/events.hpp"
#include "ipc/wire_names.hpp"
#include "log/log.hpp"

namespace tarnvale::ipc {

std::uint32_t version_major(std::string_view version) {
    std::string_view major = version.substr(0, version.find('.'));
    if (major.starts_with('+')) {
        major.remove_prefix(1);
    }
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(major.data(), major.data() + major.size(), value);
    if (major.empty() || error != std::errc{} || end != major.data() + major.size()) {
        return 0;
    }
    return value;
}

asio::awaitable<HandshakeResult> perform_handshake(Connection& connection, const ProbeFacts& facts) {
    ReadOutcome outcome = co_await connection.read_frame();
    if (std::holds_alternative<ConnectionClosed>(outcome)) {
        co_return HandshakeFailure{"connection closed before HELLO"};
    }
    if (auto* error = std::get_if<ReadError>(&outcome)) {
        co_return HandshakeFailure{std::move(error->message)};
    }
    if (std::holds_alternative<NoCommand>(outcome)) {
        co_return HandshakeFailure{"expected hello, got " + std::string(NoCommand::name)};
    }
    const CommandFrame& hello = std::get<CommandFrame>(outcome);
    if (hello.cmd != "hello") {
        co_return HandshakeFailure{"expected hello, got " + hello.cmd};
    }
    if (!hello.pid) {
        co_return HandshakeFailure{"HELLO missing pid field"};
    }
    const std::string requested = hello.version.value_or(std::string(supported_version));
    if (version_major(requested) != version_major(supported_version)) {
        const Caps refusal{std::string(supported_version),
                           {},
                           "1.0",
                           "version mismatch: requested " + requested + ", supports " + std::string(supported_version),
                           std::nullopt};
        std::string refusal_line = serialize(refusal);
        if (const auto error = co_await connection.write_line(std::move(refusal_line))) {
            co_return HandshakeFailure{error.message()};
        }
        co_return HandshakeFailure{"protocol version mismatch"};
    }
    log::info(log::target::ipc, "HELLO received, sending CAPS", {{"python_pid", *hello.pid}});
    const Caps caps{std::string(supported_version),
                    {engine_names.begin(), engine_names.end()},
                    std::string(advertised_proto_version),
                    std::nullopt,
                    facts};
    std::string caps_line = serialize(caps);
    if (const auto error = co_await connection.write_line(std::move(caps_line))) {
        co_return HandshakeFailure{error.message()};
    }
    co_return *hello.pid;
}

}  // namespace tarnvale::ipc
