#include "engines/probe_network.hpp"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace tarnvale::engines {

std::error_code SystemProbeNetwork::send(std::span<const std::uint8_t> datagram, packets::Ipv4 destination,
                                         std::uint16_t port) {
    return platform::send_datagram(socket_, datagram, destination, port);
}

asio::awaitable<void> SystemProbeNetwork::wait_until(Clock::time_point until) {
    asio::steady_timer timer(co_await asio::this_coro::executor, until);
    co_await timer.async_wait(asio::use_awaitable);
}

}  // namespace tarnvale::engines
