#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <system_error>

#include "packets/ip_address.hpp"

namespace tarnvale::engines {

// Where an engine's packets to its target leave from as the host routes them
// now, or that the host has no route there. The probing loop looks again when
// the host's network has changed and tells the client what changed; the
// engine's other threads read the source it settled on, and the number of
// changes, to leave out what they sent before one.
class PathRoute {
public:
    enum class Change {
        none,
        lost,      // a route before, none now
        restored,  // none before, a route now
        moved,     // a route before and now, from another source address
    };

    // No route yet: the engine is still finding its source.
    PathRoute() = default;
    // The route as the engine found it when it started.
    PathRoute(packets::IpAddress source, std::uint64_t network_generation)
        : source_(source), looked_at_(network_generation) {}

    // Whether to look again: the host's network has changed since the last
    // look (its generation moved), or a send failed as sends fail without a route.
    bool due(std::uint64_t network_generation) const;
    void suspect(std::error_code send_error);
    // Takes the source the system gives now, none when it has no route.
    Change update(std::uint64_t network_generation, std::optional<packets::IpAddress> source);

    std::optional<packets::IpAddress> source() const;
    // Counts the changes so far: a packet sent at another count than its
    // answer's went out on a route that is gone.
    std::uint64_t changes() const;

private:
    mutable std::mutex lock_;
    std::optional<packets::IpAddress> source_;  // guarded by lock_
    std::uint64_t looked_at_ = 0;               // guarded by lock_
    bool suspected_ = false;                    // guarded by lock_
    std::uint64_t changes_ = 0;                 // guarded by lock_
};

// Whether the system refused a send for want of a route or of its source address.
bool is_route_error(std::error_code error);

}  // namespace tarnvale::engines
