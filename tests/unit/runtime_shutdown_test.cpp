// The runtime's end while a task awaits a blocking job: the job still runs,
// and the task's own timer goes with it only once the job has ended.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <chrono>
#include <thread>

#include "runtime/blocking.hpp"
#include "runtime/runtime.hpp"

namespace {

using namespace tarnvale;

TEST(RuntimeShutdown, ATaskAwaitingABlockingJobEndsAfterTheJobWithItsTimer) {
    std::atomic<bool> job_started = false;
    std::atomic<bool> job_ended = false;
    {
        runtime::Runtime runtime;
        auto waiting = [&]() -> asio::awaitable<void> {
            asio::steady_timer timer(co_await asio::this_coro::executor);  // an io object in the task's frame
            co_await runtime::run_blocking(runtime.blocking_pool().get_executor(), [&] {
                job_started = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                job_ended = true;
                return 0;
            });
            timer.expires_after(std::chrono::seconds(1));
        };
        const int status = runtime.run([&]() -> asio::awaitable<int> {
            asio::co_spawn(co_await asio::this_coro::executor, waiting(), asio::detached);
            while (!job_started) {
                asio::steady_timer pause(co_await asio::this_coro::executor, std::chrono::milliseconds(5));
                co_await pause.async_wait(asio::use_awaitable);
            }
            co_return 7;  // the runtime stops with the job still running
        }());
        EXPECT_EQ(status, 7);
        EXPECT_FALSE(job_ended) << "the job outlasts the runtime's run";
    }
    // Under the address sanitizer a timer freed after its executor fails here.
    EXPECT_TRUE(job_ended);
}

}  // namespace
