#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "engines/bandwidth/estimator.hpp"
#include "engines/bounded_history.hpp"
#include "packets/ip_address.hpp"

namespace tarnvale::engines::bandwidth {

// Each flow's spacing samples at each hop (entry 0 unused), with the router
// that answered them, under one lock. On a balanced route the flows cross
// different branches: a flow's figures are of the routers its trains meet.
class FlowSampleTable {
public:
    FlowSampleTable(std::uint8_t flows, std::size_t entries) : flows_(flows, std::vector<FlowHopSamples>(entries)) {}

    // A train's sample. When another router than before answers the flow at
    // this hop (its route changed), the hop's samples begin again with this
    // one: samples of two routers would describe neither link.
    void add(std::uint8_t flow, std::uint8_t hop, double spacing_ms, const packets::IpAddress& from);
    // The newest 60, oldest first; none for a flow or hop out of range.
    std::vector<double> samples(std::uint8_t flow, std::uint8_t hop) const;
    std::optional<packets::IpAddress> router(std::uint8_t flow, std::uint8_t hop) const;
    // Whether the flow's trains met flow 0's routers at every hop before this
    // one, as far as both have been answered there.
    bool follows_first_before(std::uint8_t flow, std::uint8_t hop) const;

private:
    struct FlowHopSamples {
        BoundedHistory<double> spacings{samples_per_hop};
        std::optional<packets::IpAddress> router;
    };

    const FlowHopSamples* find(std::uint8_t flow, std::uint8_t hop) const;

    mutable std::mutex lock_;
    std::vector<std::vector<FlowHopSamples>> flows_;  // by flow, then hop
};

}  // namespace tarnvale::engines::bandwidth
