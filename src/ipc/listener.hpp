#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "ipc/connection.hpp"

namespace tarnvale::ipc {

struct Listener {
    asio::ip::tcp::acceptor acceptor;
    std::uint16_t port;  // the bound port, the system's choice when 0 was asked for
};

// Binds 127.0.0.1 on `port` and listens with a backlog of 128.
std::optional<Listener> bind_listener(asio::io_context& io, std::uint16_t port, std::error_code& error);

// Accepts the one client and closes the listener, whether the accept worked or
// not. A connection from a process outside `owners` (see client_owner.hpp) is
// logged and closed unanswered, and the listener waits on.
asio::awaitable<std::shared_ptr<Connection>> accept_client(Listener listener, std::vector<std::uint32_t> owners,
                                                           std::error_code& error);

}  // namespace tarnvale::ipc
