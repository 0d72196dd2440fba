#pragma once

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>
#include <type_traits>

#include "runtime/engine_threads.hpp"

namespace tarnvale::runtime {

namespace detail {

// A coroutine function, not a lambda: its parameters live in its frame, while a
// lambda's captures would die with the lambda object before the call runs.
template <typename Call>
asio::awaitable<std::invoke_result_t<Call>> call_on_pool(Call call) {
    co_return call();
}

}  // namespace detail

// Runs a blocking call on the pool for blocking jobs and resumes the awaiting
// task with its result, so that no executor thread waits on it.
template <typename Call>
asio::awaitable<std::invoke_result_t<Call>> run_blocking(BlockingExecutor pool, Call call) {
    co_return co_await asio::co_spawn(pool, detail::call_on_pool(std::move(call)), asio::use_awaitable);
}

}  // namespace tarnvale::runtime
