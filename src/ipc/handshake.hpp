#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "ipc/connection.hpp"
#include "ipc/events.hpp"

namespace tarnvale::ipc {

inline constexpr std::string_view supported_version = "1.0";
inline constexpr std::string_view advertised_proto_version = "1.0.0";

struct HandshakeFailure {
    std::string message;
};

// The client's process id, or why the handshake failed.
using HandshakeResult = std::variant<std::uint32_t, HandshakeFailure>;

// Reads the HELLO and answers with CAPS, which tells an accepted client the facts.
asio::awaitable<HandshakeResult> perform_handshake(Connection& connection, const ProbeFacts& facts);

// The number before the first "." (an optional leading "+" allowed); 0 for
// anything that does not read as an unsigned 32-bit number.
std::uint32_t version_major(std::string_view version);

}  // namespace tarnvale::ipc
