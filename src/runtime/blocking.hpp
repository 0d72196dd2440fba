#pragma once

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/dispatch.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <type_traits>

#include "runtime/engine_threads.hpp"

namespace tarnvale::runtime {

// Runs a blocking call on the pool for blocking jobs and resumes the awaiting
// task with its result on the task's own executor, so that no executor thread
// waits on it. The call is not cancellable: it runs to its end.
//
// Written as a plain asynchronous operation rather than with co_spawn: a
// co_spawn inside a task that may be cancelled leaves a cancellation handler
// behind that a later cancellation runs after it has been freed.
template <typename Call>
asio::awaitable<std::invoke_result_t<Call>> run_blocking(BlockingExecutor pool, Call call) {
    using Result = std::invoke_result_t<Call>;
    auto initiate = [pool](auto handler, Call blocking_call) {
        auto work = asio::make_work_guard(asio::get_associated_executor(handler));
        asio::post(pool, [handler = std::move(handler), work = std::move(work),
                          blocking_call = std::move(blocking_call)]() mutable {
            Result result = blocking_call();
            auto home = work.get_executor();
            asio::dispatch(home, [handler = std::move(handler), result = std::move(result)]() mutable {
                std::move(handler)(std::move(result));
            });
        });
    };
    co_return co_await asio::async_initiate<const asio::use_awaitable_t<>, void(Result)>(
        std::move(initiate), asio::use_awaitable, std::move(call));
}

}  // namespace tarnvale::runtime
