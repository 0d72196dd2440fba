#include "ipc/connection.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cstring>

namespace tarnvale::ipc {

namespace {

ReadOutcome decode(std::string_view line) {
    auto result = decode_line(line);
    if (auto* error = std::get_if<DecodeError>(&result)) {
        return ReadError{std::move(error->message)};
    }
    if (std::holds_alternative<NoCommand>(result)) {
        return NoCommand{};
    }
    return std::get<CommandFrame>(std::move(result));
}

}  // namespace

Connection::Connection(asio::ip::tcp::socket socket)
    : strand_(asio::make_strand(socket.get_executor())),
      socket_(std::move(socket)),
      read_deadline_(strand_) {}

asio::awaitable<ReadOutcome> Connection::read_frame() {
    using asio::experimental::as_tuple;
    for (;;) {
        if (buffered_begin_ < buffered_end_) {
            const char* begin = receive_buffer_.data() + buffered_begin_;
            const std::size_t available = buffered_end_ - buffered_begin_;
            const auto* newline = static_cast<const char*>(std::memchr(begin, '\n', available));
            const std::size_t taken = newline != nullptr ? static_cast<std::size_t>(newline - begin) + 1 : available;
            if (line_.size() + taken > max_line_length) {
                co_return ReadError{"command line longer than " + std::to_string(max_line_length) + " bytes"};
            }
            line_.append(begin, taken);
            buffered_begin_ += taken;
            if (newline != nullptr) {
                const std::string line = std::move(line_);
                line_.clear();
                co_return decode(line);
            }
        }

        const auto slot = read_deadline_.arm(receive_timeout);
        const auto [error, received] = co_await socket_.async_read_some(
            asio::buffer(receive_buffer_), asio::bind_cancellation_slot(slot, as_tuple(asio::use_awaitable)));
        const bool timed_out = read_deadline_.disarm();

        if (received > 0) {
            buffered_begin_ = 0;
            buffered_end_ = received;
            continue;
        }
        if (error == asio::error::operation_aborted && timed_out) {
            co_return NoCommand{};
        }
        if (error == asio::error::eof || error == asio::error::shut_down) {
            if (line_.empty()) {
                co_return ConnectionClosed{};
            }
            const std::string line = std::move(line_);
            line_.clear();
            co_return decode(line);
        }
        co_return ReadError{error.message()};
    }
}

asio::awaitable<asio::error_code> Connection::write_line(std::string text) {
    text.push_back('\n');
    const auto [error, written] =
        co_await asio::async_write(socket_, asio::buffer(text), asio::experimental::as_tuple(asio::use_awaitable));
    (void)written;
    co_return error;
}

}  // namespace tarnvale::ipc
