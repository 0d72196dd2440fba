#include "runtime/runtime.hpp"

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tarnvale::runtime {

std::size_t Runtime::worker_count() {
    const unsigned processors = std::thread::hardware_concurrency();
    return processors == 0 ? 1 : processors;
}

Runtime::Runtime() : blocking_pool_(worker_count()) { io_.emplace(static_cast<int>(worker_count())); }

Runtime::~Runtime() {
    finish_blocking_jobs();
    io_.reset();
    // Without stop(), join() first runs every job still queued.
    blocking_pool_.join();
}

void Runtime::finish_blocking_jobs() {
    // Once every pool thread has taken one of these, every job queued before
    // them has ended. A plain lock and condition, which every system's C++
    // library has working; and a bound, so that a job that never ends cannot
    // keep the process from ending.
    struct Barrier {
        std::mutex lock;
        std::condition_variable changed;
        std::size_t taken = 0;
        bool released = false;
    };
    const auto barrier = std::make_shared<Barrier>();
    const std::size_t threads = worker_count();
    for (std::size_t thread = 0; thread < threads; ++thread) {
        asio::post(blocking_pool_, [barrier] {
            std::unique_lock lock(barrier->lock);
            ++barrier->taken;
            barrier->changed.notify_all();
            barrier->changed.wait(lock, [&] { return barrier->released; });
        });
    }
    std::unique_lock lock(barrier->lock);
    barrier->changed.wait_for(lock, blocking_jobs_wait, [&] { return barrier->taken == threads; });
    barrier->released = true;
    barrier->changed.notify_all();
}

int Runtime::run(asio::awaitable<int> main_task) {
    int status = 1;
    std::exception_ptr failure;
    auto work = asio::make_work_guard(*io_);
    asio::co_spawn(*io_, std::move(main_task), [&](std::exception_ptr error, int result) {
        failure = error;
        status = result;
        io_->stop();
    });
    std::vector<std::thread> workers;
    for (std::size_t i = 1; i < worker_count(); ++i) {
        workers.emplace_back([this] { io_->run(); });
    }
    io_->run();
    for (auto& worker : workers) {
        worker.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return status;
}

}  // namespace tarnvale::runtime
