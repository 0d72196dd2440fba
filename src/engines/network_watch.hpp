#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <tuple>

#include "packets/ip_address.hpp"
#include "platform/network_changes.hpp"

// Which of the host's network notices change what the engines learned (the
// source address, the route, the capture device), and when a burst of them has
// settled. A device swap arrives as a burst of a dozen notices: the engines
// re-learn once, after it.
namespace tarnvale::engines {

// A change has settled once this long has passed without another notice that counts.
inline constexpr std::chrono::milliseconds network_quiet_time{500};

class NetworkWatch {
public:
    using Clock = std::chrono::steady_clock;

    explicit NetworkWatch(Clock::duration quiet_time = network_quiet_time) : quiet_time_(quiet_time) {}

    // Notices as the watch hands them over, received at `now`; from any thread.
    void take(std::span<const platform::NetworkNotice> notices, Clock::time_point now);

    // How many changes had settled by `now`. An engine that finds a number
    // other than the one it last acted on re-learns its source, route and
    // capture device; a change still under way counts only once it settles.
    std::uint64_t settled_generation(Clock::time_point now);

    // Whether the system's watch has ended (logged once); no later change will be seen.
    bool watch_failed() const;

private:
    enum class AddressState { absent, preferred, deprecated };
    using AddressKey = std::tuple<std::uint32_t, packets::IpAddress, std::uint8_t>;  // interface, address, prefix

    // Whether the notice changes something the engines depend on; keeps the
    // state that later notices are compared with.
    bool counts(const platform::NetworkNotice& notice);
    bool link_counts(const platform::NetworkNotice& notice);
    bool address_counts(const platform::NetworkNotice& notice);

    mutable std::mutex mutex_;
    const Clock::duration quiet_time_;
    std::map<std::uint32_t, bool> link_up_;  // by interface index, loopback interfaces left out
    std::set<std::uint32_t> loopback_interfaces_;
    std::map<AddressKey, AddressState> addresses_;  // usable addresses only
    bool change_pending_ = false;
    Clock::time_point last_counted_{};
    std::uint64_t generation_ = 0;
    bool failed_ = false;
};

// Where the system tells of no network changes, the engines look at their route this often.
inline constexpr std::chrono::seconds network_poll_period{10};

// The host's network as the engines follow it, for the life of the process:
// the system's watch feeding the decision above, opened before any engine
// starts so that engines started and stopped leave the process as they found
// it. Where no watch can be had (logged once), a new poll period counts as a
// change.
class HostNetwork {
public:
    HostNetwork();

    // Counts the settled changes so far; from any thread.
    std::function<std::uint64_t()> generation() const;

private:
    std::shared_ptr<NetworkWatch> decisions_ = std::make_shared<NetworkWatch>();
    platform::NetworkChangeWatch watch_;
};

}  // namespace tarnvale::engines
