#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarnvale::runtime {

// Tells an engine's threads to end. Threads check it between steps and may
// sleep on it, waking at once when it is raised.
class StopFlag {
public:
    void raise() {
        {
            const std::lock_guard lock(lock_);
            raised_.store(true, std::memory_order_release);
        }
        changed_.notify_all();
    }

    bool raised() const { return raised_.load(std::memory_order_acquire); }

    // Sleeps for `duration` unless raised first; true when raised.
    bool sleep_for(std::chrono::nanoseconds duration) {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, duration, [this] { return raised(); });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::atomic<bool> raised_{false};
};

}  // namespace tarnvale::runtime
