#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <span>
#include <system_error>

#include "packets/ipv4.hpp"
#include "platform/raw_sockets.hpp"

namespace tarnvale::engines {

// What an engine's probing loop needs of the world: the clock, a datagram sent,
// and waiting. The system's network is the one below; tests put a simulated
// path in its place and run the loop in simulated time.
class ProbeNetwork {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~ProbeNetwork() = default;

    virtual Clock::time_point now() const = 0;
    // Sends an IPv4 datagram, its header included, to the destination and port.
    virtual std::error_code send(std::span<const std::uint8_t> datagram, packets::Ipv4 destination,
                                 std::uint16_t port) = 0;
    // Resumes at `until`, at once when it has passed. A wait in a cancelled task
    // throws, as a timer's does.
    virtual asio::awaitable<void> wait_until(Clock::time_point until) = 0;
};

// A raw socket, the steady clock and the task's timers.
class SystemProbeNetwork final : public ProbeNetwork {
public:
    explicit SystemProbeNetwork(const platform::Socket& socket) : socket_(socket) {}

    Clock::time_point now() const override { return Clock::now(); }
    std::error_code send(std::span<const std::uint8_t> datagram, packets::Ipv4 destination,
                         std::uint16_t port) override;
    asio::awaitable<void> wait_until(Clock::time_point until) override;

private:
    const platform::Socket& socket_;
};

}  // namespace tarnvale::engines
