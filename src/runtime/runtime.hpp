#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <chrono>
#include <cstddef>
#include <optional>

namespace tarnvale::runtime {

// The asynchronous runtime: one executor run by one thread per logical
// processor, and a separate pool for blocking jobs.
class Runtime {
public:
    Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;
    ~Runtime();

    asio::io_context& io() { return *io_; }
    asio::thread_pool& blocking_pool() { return blocking_pool_; }

    // Runs `main_task` on the runtime, this thread being one of its workers, and
    // returns its result once it has finished. Tasks still alive then are
    // dropped without being resumed.
    int run(asio::awaitable<int> main_task);

    static std::size_t worker_count();

private:
    // Waits until the blocking jobs queued so far have ended. A job still
    // running holds the continuation of the task that awaits it, which it hands
    // back to the executor or drops when it ends: the task's timers and sockets
    // then go with it, and their executor must still be there. Waits
    // blocking_jobs_wait at most.
    void finish_blocking_jobs();
    static constexpr std::chrono::seconds blocking_jobs_wait{5};

    // The pool outlives the executor: tasks dropped with the executor hand their
    // engines' threads to the pool to be joined.
    asio::thread_pool blocking_pool_;
    std::optional<asio::io_context> io_;
};

}  // namespace tarnvale::runtime
