#include "runtime/runtime.hpp"

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <exception>
#include <thread>
#include <vector>

namespace tarnvale::runtime {

std::size_t Runtime::worker_count() {
    const unsigned processors = std::thread::hardware_concurrency();
    return processors == 0 ? 1 : processors;
}

Runtime::Runtime() : blocking_pool_(worker_count()) { io_.emplace(static_cast<int>(worker_count())); }

Runtime::~Runtime() {
    io_.reset();
    // Without stop(), join() first runs every job still queued.
    blocking_pool_.join();
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
