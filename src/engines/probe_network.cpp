#include "engines/probe_network.hpp"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "ipc/events.hpp"
#include "platform/process.hpp"
#include "runtime/blocking.hpp"

namespace tarnvale::engines {

std::uint64_t SystemProbeNetwork::unix_seconds() const {
    return ipc::unix_seconds_now();
}

packets::IpAddress SystemProbeNetwork::source_for(const packets::IpAddress& destination,
                                                 std::error_code& error) const {
    return platform::source_address_for(destination, error);
}

std::error_code SystemProbeNetwork::send(std::span<const std::uint8_t> datagram, const packets::IpAddress& destination,
                                         std::uint16_t port) {
    return platform::send_datagram(socket_, datagram, destination, port);
}

asio::awaitable<std::error_code> SystemProbeNetwork::send_paced(std::vector<Outgoing> datagrams,
                                                                std::chrono::microseconds spacing) {
    // A plain record, not a bare error code, so that the awaiting task receives
    // it as a value instead of having it thrown.
    struct Sent {
        std::error_code error;
    };
    auto send_all = [this, datagrams = std::move(datagrams), spacing] {
        const auto started = Clock::now();
        for (std::size_t index = 0; index < datagrams.size(); ++index) {
            const Outgoing& outgoing = datagrams[index];
            if (const auto error = platform::send_datagram(socket_, outgoing.datagram, outgoing.destination,
                                                           outgoing.port)) {
                return Sent{error};
            }
            platform::sleep_until_precise(started + spacing * static_cast<long>(index + 1));
        }
        return Sent{};
    };
    const Sent sent = co_await runtime::run_blocking(blocking_, std::move(send_all));
    co_return sent.error;
}

asio::awaitable<void> SystemProbeNetwork::wait_until(Clock::time_point until) {
    asio::steady_timer timer(co_await asio::this_coro::executor, until);
    co_await timer.async_wait(asio::use_awaitable);
}

}  // namespace tarnvale::engines
