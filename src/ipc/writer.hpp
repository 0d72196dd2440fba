#pragma once

#include <asio/awaitable.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/strand.hpp>
#include <memory>

#include "ipc/connection.hpp"
#include "ipc/event_queue.hpp"

namespace tarnvale::ipc {

// Tells the writer to write what is already queued and end. Fired once.
class WriterStop {
public:
    explicit WriterStop(asio::strand<asio::any_io_executor> strand) : strand_(std::move(strand)) {}

    void fire();

private:
    friend asio::awaitable<void> run_writer(std::shared_ptr<EventChannel>, std::shared_ptr<WriterStop>,
                                            std::shared_ptr<Connection>);

    asio::strand<asio::any_io_executor> strand_;
    asio::cancellation_signal wake_;  // ends the writer's wait for the next event
    bool fired_ = false;              // touched on the strand only
};

// Writes every event of the queue to the connection as one line, in queue order,
// until a write fails or the stop signal has been handled. Runs on the
// connection's strand. The queue is closed when the writer ends, so that later
// sends are dropped instead of waiting for room.
asio::awaitable<void> run_writer(std::shared_ptr<EventChannel> events, std::shared_ptr<WriterStop> stop,
                                 std::shared_ptr<Connection> connection);

}  // namespace tarnvale::ipc
