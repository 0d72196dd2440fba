#pragma once

#include <array>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/strand.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <variant>

#include "ipc/command_frame.hpp"
#include "runtime/operation_deadline.hpp"

namespace tarnvale::ipc {

struct ConnectionClosed {};

struct ReadError {
    std::string message;
};

// One read: a frame, no command (a blank line or the receive timeout), the end
// of the conversation, or an error.
using ReadOutcome = std::variant<CommandFrame, NoCommand, ConnectionClosed, ReadError>;

inline constexpr std::chrono::milliseconds receive_timeout{5000};
inline constexpr std::size_t receive_chunk = 8192;
// A client that never ends its line must not grow the probe without bound.
inline constexpr std::size_t max_line_length = 1024 * 1024;

// The accepted control connection. A read and a write may be in progress at
// the same time; both must be started from the connection's strand.
class Connection {
public:
    explicit Connection(asio::ip::tcp::socket socket);

    // Reads one line and decodes it. A silent client yields NoCommand after the
    // receive timeout; bytes of an unfinished line are kept for the next read.
    asio::awaitable<ReadOutcome> read_frame();

    // Writes the text and a line feed.
    asio::awaitable<asio::error_code> write_line(std::string text);

    asio::strand<asio::any_io_executor>& strand() { return strand_; }

private:
    asio::strand<asio::any_io_executor> strand_;
    asio::ip::tcp::socket socket_;
    runtime::OperationDeadline read_deadline_;
    std::array<char, receive_chunk> receive_buffer_{};
    std::size_t buffered_begin_ = 0;
    std::size_t buffered_end_ = 0;
    std::string line_;
};

}  // namespace tarnvale::ipc
