#include "runtime/engine_threads.hpp"

#include <asio/post.hpp>

#include "platform/process.hpp"

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

std::error_code EngineThreads::spawn(const std::string& name, std::function<void()> body) {
    try {
        threads_.push_back(starter_([name, body = std::move(body)] {
            platform::name_current_thread(name);
            body();
        }));
    } catch (const std::system_error& error) {
        return error.code();
    }
    return {};
}

}  // namespace tarnvale::runtime
