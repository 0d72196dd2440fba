#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

// How far away the target is, as the answers to the trains tell: the lowest hop
// whose latest answer came from the target itself. Trains to that hop or beyond
// reach the target, which answers with Destination Unreachable and gives no
// spacing sample, so the sweeps go no further. While the distance is unknown (at
// the start, or once the hop at that distance answers from a router: the path
// grew) they go out to max_hops.
namespace tarnvale::engines::bandwidth {

class TargetDistance {
public:
    explicit TargetDistance(std::size_t hops) : from_target_(hops, false) {}

    void answered(std::uint8_t hop, bool by_target);
    std::optional<std::uint8_t> distance() const;

private:
    mutable std::mutex lock_;
    std::vector<bool> from_target_;  // per hop: its latest answer came from the target
};

}  // namespace tarnvale::engines::bandwidth
