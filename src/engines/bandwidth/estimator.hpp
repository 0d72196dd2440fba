#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engines/bounded_history.hpp"
#include "packets/ip_address.hpp"

// Turning the spacing of a train's answers into a per-hop bandwidth figure.
namespace tarnvale::engines::bandwidth {

inline constexpr std::size_t samples_per_hop = 60;
inline constexpr double smallest_spacing_ms = 0.01;
inline constexpr double spacing_floor_ms = 0.001;
inline constexpr double bits_per_packet = 11200.0;
inline constexpr double lowest_mbps = 1.0;
inline constexpr double highest_mbps = 10000.0;
inline constexpr float bottleneck_ratio = 0.7f;
// A link spaces a train's packets evenly, train after train; a router whose
// answers wait at random spaces them anyhow. An estimate whose samples (the
// hop's and the previous hop's interquartile ranges together) scatter by more
// than this share of the spacing it rests on says nothing of a link.
inline constexpr double even_spacing_spread = 0.25;

using Instant = std::chrono::steady_clock::time_point;

// One train's sample: the upper median of the spacings (in ms) between its
// consecutive answers that exceed 0.01 ms; nothing when none does.
std::optional<double> spacing_sample(const std::vector<Instant>& arrivals);

// The newest 60 spacing samples of every hop (entry 0 unused), and the address
// of the router that answered the newest, under one lock.
class HopSampleTable {
public:
    explicit HopSampleTable(std::size_t entries)
        : hops_(entries, BoundedHistory<double>(samples_per_hop)), addresses_(entries) {}

    void add(std::uint8_t hop, double spacing_ms, const packets::IpAddress& from);
    std::vector<double> samples(std::uint8_t hop) const;
    // Nothing before the hop's first sample.
    std::optional<packets::IpAddress> address(std::uint8_t hop) const;

private:
    mutable std::mutex lock_;
    std::vector<BoundedHistory<double>> hops_;
    std::vector<std::optional<packets::IpAddress>> addresses_;
};

// The latest estimate of hop 1, against which later hops are judged.
class BaselineCell {
public:
    // Hop 1 sets the baseline; any other hop reads it, or takes its own estimate when none is set.
    float baseline_for(std::uint8_t hop, float estimate);

private:
    std::mutex lock_;
    std::optional<float> baseline_;
};

struct HopEstimate {
    float mbps;
    float baseline_mbps;
    bool bottleneck;
    std::string level;  // "low", "medium" or "high"
    float p05_mbps;
    float p95_mbps;
    std::uint32_t sample_count;
};

// The interquartile range of spacing samples in ms (0 for none).
double spacing_scatter(std::vector<double> samples);

// The estimate for a hop from its samples and those of the hop before it;
// nothing with fewer than two samples. A hop is a bottleneck only when both
// sets of samples scatter little beside the spacing the estimate rests on
// (see even_spacing_spread): one late wake-up of the sender or the receiver
// must not hide a link, nor a router's random waits make one.
std::optional<HopEstimate> estimate_hop(std::uint8_t hop, std::vector<double> samples,
                                        std::vector<double> previous_hop_samples, BaselineCell& baseline);

}  // namespace tarnvale::engines::bandwidth
