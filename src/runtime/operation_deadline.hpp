#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>

namespace tarnvale::runtime {

// Cancels one asynchronous operation at a time when it outlasts a deadline.
// Unlike racing the operation against a timer, a result that arrives together
// with the deadline is never thrown away: the operation either completes with
// it or is cancelled before it takes anything. Construct it with the strand the
// awaiting coroutine runs on, so that the expiry and the coroutine never run at
// the same time.
class OperationDeadline {
public:
    explicit OperationDeadline(const asio::any_io_executor& strand) : timer_(strand) {}

    // Starts the deadline; bind the operation to the returned slot.
    asio::cancellation_slot arm(asio::steady_timer::duration timeout) {
        const std::uint64_t generation = ++generation_;
        expired_ = false;
        timer_.expires_after(timeout);
        timer_.async_wait([this, generation](asio::error_code error) {
            // A stale expiry (the operation completed first) must not cut a later one short.
            if (!error && generation == generation_) {
                expired_ = true;
                signal_.emit(asio::cancellation_type::total);
            }
        });
        return signal_.slot();
    }

    // Call once the operation has completed; true when the deadline cancelled it.
    bool disarm() {
        ++generation_;
        timer_.cancel();
        return expired_;
    }

private:
    asio::steady_timer timer_;
    asio::cancellation_signal signal_;
    std::uint64_t generation_ = 0;
    bool expired_ = false;
};

}  // namespace tarnvale::runtime
