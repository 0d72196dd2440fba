#pragma once

#include <asio/thread_pool.hpp>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "runtime/stop_flag.hpp"

namespace tarnvale::runtime {

using BlockingExecutor = asio::thread_pool::executor_type;

// Starts an operating-system thread running `body`; throws std::system_error
// when the system refuses one, as std::thread's constructor does.
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

// The operating-system threads of one engine. When the engine ends (its task is
// cancelled or finishes) they are told to stop, and they are joined on the pool
// for blocking jobs, so that no executor thread waits for them and the process
// never exits with one still running.
class EngineThreads {
public:
    explicit EngineThreads(BlockingExecutor joiner, ThreadStarter starter = start_system_thread)
        : joiner_(std::move(joiner)), starter_(std::move(starter)) {}
    EngineThreads(const EngineThreads&) = delete;
    EngineThreads& operator=(const EngineThreads&) = delete;
    ~EngineThreads();

    const std::shared_ptr<StopFlag>& stop() const { return stop_; }

    // Starts a thread with the given name; the system's error when it refuses
    // one. The engine decides what follows: the process goes on either way.
    std::error_code spawn(const std::string& name, std::function<void()> body);

    static std::thread start_system_thread(std::function<void()> body) { return std::thread(std::move(body)); }

private:
    BlockingExecutor joiner_;
    ThreadStarter starter_;
    std::shared_ptr<StopFlag> stop_ = std::make_shared<StopFlag>();
    std::vector<std::thread> threads_;
};

}  // namespace tarnvale::runtime
