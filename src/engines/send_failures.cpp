#include "engines/send_failures.hpp"

#include "engines/engine.hpp"
#include "ipc/wire_names.hpp"
#include "log/fill.hpp"

namespace tarnvale::engines {

void SendFailures::record(std::string_view what, std::error_code cause) {
    const std::lock_guard lock(lock_);
    Cause& counted = causes_[{std::string(what), cause}];
    ++counted.untold;
    ++counted.total;
}

std::vector<SendFailures::Notice> SendFailures::take_due(Clock::time_point now) {
    std::vector<Notice> due;
    const std::lock_guard lock(lock_);
    for (auto& [key, cause] : causes_) {
        const bool first = !cause.told_at;
        if (cause.untold == 0 || (!first && now - *cause.told_at < period_)) {
            continue;
        }
        due.push_back(Notice{key.first, key.second, cause.untold, cause.total, first});
        cause.untold = 0;
        cause.told_at = now;
    }
    return due;
}

std::string send_failure_message(const SendFailures::Notice& notice) {
    if (notice.first) {
        return log::fill_message("{} not sent: {} ({} so far)", notice.what, notice.cause.message(), notice.total);
    }
    return log::fill_message("{} not sent: {} ({} more, {} in all)", notice.what, notice.cause.message(), notice.count,
                             notice.total);
}

asio::awaitable<void> report_send_failures(const EngineOutlets& outlets, std::string_view engine,
                                           SendFailures& failures, SendFailures::Clock::time_point now) {
    for (const SendFailures::Notice& notice : failures.take_due(now)) {
        // Named, not built inside the co_await: GCC 12 can destroy such a temporary twice.
        std::string message = send_failure_message(notice);
        co_await send_error(outlets, engine, ipc::error_code::send_fail, std::move(message), false);
    }
}

}  // namespace tarnvale::engines
