#include "runtime/engine_threads.hpp"

#include <asio/post.hpp>
#include <system_error>

#include "platform/process.hpp"
#include "runtime/fail_fast.hpp"

namespace tarnvale::runtime {

EngineThreads::~EngineThreads() {
    stop_->raise();
    if (threads_.empty()) {
        return;
    }
    asio::post(joiner_, [threads = std::move(threads_)]() mutable {
        for (auto& thread : threads) {
            thread.join();
        }
    });
}

void EngineThreads::spawn(const std::string& name, const std::string& failure, std::function<void()> body) {
    try {
        threads_.emplace_back([name, body = std::move(body)] {
            platform::name_current_thread(name);
            body();
        });
    } catch (const std::system_error& error) {
        fail_fast(failure + ": " + error.what());
    }
}

}  // namespace tarnvale::runtime
