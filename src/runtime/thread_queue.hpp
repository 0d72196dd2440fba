#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

namespace tarnvale::runtime {

// A bounded queue between operating-system threads. Producers never wait: a
// value that finds the queue full or closed is dropped. The consumer may wait
// for a value; closing the queue wakes it at once.
template <typename T>
class ThreadQueue {
public:
    explicit ThreadQueue(std::size_t capacity) : capacity_(capacity) {}

    bool try_push(T value) {
        {
            const std::lock_guard lock(lock_);
            if (closed_ || values_.size() >= capacity_) {
                return false;
            }
            values_.push_back(std::move(value));
        }
        ready_.notify_one();
        return true;
    }

    std::optional<T> try_pop() {
        const std::lock_guard lock(lock_);
        return pop_locked();
    }

    // Waits up to `timeout` for a value; nothing on timeout or once closed and empty.
    std::optional<T> pop_for(std::chrono::milliseconds timeout) {
        std::unique_lock lock(lock_);
        ready_.wait_for(lock, timeout, [this] { return closed_ || !values_.empty(); });
        return pop_locked();
    }

    void close() {
        {
            const std::lock_guard lock(lock_);
            closed_ = true;
        }
        ready_.notify_all();
    }

private:
    std::optional<T> pop_locked() {
        if (values_.empty()) {
            return std::nullopt;
        }
        T value = std::move(values_.front());
        values_.pop_front();
        return value;
    }

    const std::size_t capacity_;
    mutable std::mutex lock_;
    std::condition_variable ready_;
    std::deque<T> values_;
    bool closed_ = false;
};

}  // namespace tarnvale::runtime
