#pragma once

#include <asio/awaitable.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/channel_error.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/use_awaitable.hpp>
#include <memory>

namespace tarnvale::runtime {

template <typename T>
using BoundedQueue = asio::experimental::concurrent_channel<void(asio::error_code, T)>;

template <typename T>
std::shared_ptr<BoundedQueue<T>> make_bounded_queue(const asio::any_io_executor& executor, std::size_t capacity) {
    return std::make_shared<BoundedQueue<T>>(executor, capacity);
}

// A sending end of a bounded multi-producer queue. Tasks wait for room;
// operating-system threads use try_send and drop the value when the queue is
// full. A closed queue drops the value silently.
template <typename T>
class QueueSender {
public:
    explicit QueueSender(std::shared_ptr<BoundedQueue<T>> queue) : queue_(std::move(queue)) {}

    // False when the queue is closed. Cancellation of the waiting task is
    // rethrown, so that a cancelled task unwinds instead of carrying on.
    asio::awaitable<bool> send(T value) const {
        const auto [error] = co_await queue_->async_send(asio::error_code{}, std::move(value),
                                                         asio::experimental::as_tuple(asio::use_awaitable));
        if (error == asio::experimental::error::channel_cancelled) {
            throw asio::system_error(asio::error::operation_aborted);
        }
        co_return !error;
    }

    bool try_send(T value) const { return queue_->try_send(asio::error_code{}, std::move(value)); }

private:
    std::shared_ptr<BoundedQueue<T>> queue_;
};

}  // namespace tarnvale::runtime
