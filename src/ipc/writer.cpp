#include "ipc/writer.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/channel_error.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <optional>
#include <random>

#include "log/fill.hpp"
#include "log/log.hpp"

namespace tarnvale::ipc {

namespace {

std::optional<Event> take_queued(EventChannel& events) {
    std::optional<Event> taken;
    events.try_receive([&taken](asio::error_code error, Event event) {
        if (!error) {
            taken = std::move(event);
        }
    });
    return taken;
}

// Writes what is already queued; failures neither stop it nor are logged.
asio::awaitable<void> drain(EventChannel& events, Connection& connection) {
    while (auto event = take_queued(events)) {
        std::string text;
        try {
            text = serialize(*event);
        } catch (const std::bad_alloc&) {
            continue;
        }
        co_await connection.write_line(std::move(text));
    }
}

}  // namespace

void WriterStop::fire() {
    asio::post(strand_, [this] {
        fired_ = true;
        wake_.emit(asio::cancellation_type::total);
    });
}

asio::awaitable<void> run_writer(std::shared_ptr<EventChannel> events, std::shared_ptr<WriterStop> stop,
                                 std::shared_ptr<Connection> connection) {
    using asio::experimental::as_tuple;
    std::minstd_rand coin(std::random_device{}());
    for (;;) {
        // When both an event and the stop signal are ready, which one goes first
        // is chosen at random so that neither starves the other.
        const bool stop_first = (coin() & 1U) != 0;
        if (stop->fired_ && (stop_first || !events->ready())) {
            co_await drain(*events, *connection);
            break;
        }
        std::optional<Event> event = take_queued(*events);
        if (!event) {
            auto [error, received] = co_await events->async_receive(
                asio::bind_cancellation_slot(stop->wake_.slot(), as_tuple(asio::use_awaitable)));
            if (error) {
                continue;  // woken by the stop signal
            }
            event = std::move(received);
        }
        std::string text;
        try {
            text = serialize(*event);
        } catch (const std::exception& failure) {
            log::error(log::target::ipc, log::fill_message("serialisation failed: {}", failure.what()));
            continue;
        }
        if (const auto error = co_await connection->write_line(std::move(text))) {
            log::error(log::target::ipc, "IPC write failed", {{"err", error.message()}});
            break;
        }
    }
    events->close();
}

}  // namespace tarnvale::ipc
