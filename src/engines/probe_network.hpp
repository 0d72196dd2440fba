#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <span>
#include <system_error>
#include <vector>

#include "packets/ip_address.hpp"
#include "platform/raw_sockets.hpp"
#include "runtime/engine_threads.hpp"

namespace tarnvale::engines {

// A datagram to send, its IP header included.
struct Outgoing {
    std::vector<std::uint8_t> datagram;
    packets::IpAddress destination;
    std::uint16_t port;
};

// What an engine's probing loop needs of the world: the clock, the source
// address toward a target, datagrams sent, and waiting. The system's network is
// the one below; tests put a simulated path in its place and run the loop in
// simulated time.
class ProbeNetwork {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~ProbeNetwork() = default;

    virtual Clock::time_point now() const = 0;
    // Whole seconds since 1970 by the wall clock, for the events' `ts`.
    virtual std::uint64_t unix_seconds() const = 0;
    // The local address the system would send from to the destination.
    virtual packets::IpAddress source_for(const packets::IpAddress& destination, std::error_code& error) const = 0;
    // Sends an IP datagram, its header included, to the destination and port.
    virtual std::error_code send(std::span<const std::uint8_t> datagram, const packets::IpAddress& destination,
                                 std::uint16_t port) = 0;
    // Sends the datagrams in order, each followed by a wait of `spacing`
    // counted from the first send, so that the spacing does not drift. The
    // first failed send ends it with its error.
    virtual asio::awaitable<std::error_code> send_paced(std::vector<Outgoing> datagrams,
                                                        std::chrono::microseconds spacing) = 0;
    // Resumes at `until`, at once when it has passed. A wait in a cancelled task
    // throws, as a timer's does.
    virtual asio::awaitable<void> wait_until(Clock::time_point until) = 0;
};

// A raw socket, the steady clock and the task's timers. Paced sends block on
// the pool for blocking jobs, where precise waits cost the task nothing.
class SystemProbeNetwork final : public ProbeNetwork {
public:
    SystemProbeNetwork(const platform::Socket& socket, runtime::BlockingExecutor blocking)
        : socket_(socket), blocking_(std::move(blocking)) {}

    Clock::time_point now() const override { return Clock::now(); }
    std::uint64_t unix_seconds() const override;
    packets::IpAddress source_for(const packets::IpAddress& destination, std::error_code& error) const override;
    std::error_code send(std::span<const std::uint8_t> datagram, const packets::IpAddress& destination,
                         std::uint16_t port) override;
    asio::awaitable<std::error_code> send_paced(std::vector<Outgoing> datagrams,
                                                std::chrono::microseconds spacing) override;
    asio::awaitable<void> wait_until(Clock::time_point until) override;

private:
    const platform::Socket& socket_;
    runtime::BlockingExecutor blocking_;
};

}  // namespace tarnvale::engines
