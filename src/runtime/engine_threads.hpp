#pragma once

#include <asio/thread_pool.hpp>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/stop_flag.hpp"

namespace tarnvale::runtime {

using BlockingExecutor = asio::thread_pool::executor_type;

// The operating-system threads of one engine. When the engine ends (its task is
// cancelled or finishes) they are told to stop, and they are joined on the pool
// for blocking jobs, so that no executor thread waits for them and the process
// never exits with one still running.
class EngineThreads {
public:
    explicit EngineThreads(BlockingExecutor joiner) : joiner_(std::move(joiner)) {}
    EngineThreads(const EngineThreads&) = delete;
    EngineThreads& operator=(const EngineThreads&) = delete;
    ~EngineThreads();

    const std::shared_ptr<StopFlag>& stop() const { return stop_; }

    // Starts a thread with the given name. A thread that cannot be started ends
    // the process at once with `failure` and the system's error on standard error.
    void spawn(const std::string& name, const std::string& failure, std::function<void()> body);

private:
    BlockingExecutor joiner_;
    std::shared_ptr<StopFlag> stop_ = std::make_shared<StopFlag>();
    std::vector<std::thread> threads_;
};

}  // namespace tarnvale::runtime
