#include "engines/bandwidth/estimator.hpp"

#include <algorithm>
#include <cmath>

namespace tarnvale::engines::bandwidth {

namespace {

// The element at index count / 2 of the sorted values.
double upper_median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

std::optional<double> spacing_sample(const std::vector<Instant>& arrivals) {
    std::vector<double> spacings;
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        const double spacing =
            std::max(0.0, std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[i - 1]).count());
        if (spacing > smallest_spacing_ms) {
            spacings.push_back(spacing);
        }
    }
    if (spacings.empty()) {
        return std::nullopt;
    }
    return upper_median(std::move(spacings));
}

void HopSampleTable::add(std::uint8_t hop, double spacing_ms, const packets::IpAddress& from) {
    const std::lock_guard lock(lock_);
    if (hop < hops_.size()) {
        hops_[hop].push(spacing_ms);
        addresses_[hop] = from;
    }
}

std::vector<double> HopSampleTable::samples(std::uint8_t hop) const {
    const std::lock_guard lock(lock_);
    if (hop >= hops_.size()) {
        return {};
    }
    return {hops_[hop].begin(), hops_[hop].end()};
}

std::optional<packets::IpAddress> HopSampleTable::address(std::uint8_t hop) const {
    const std::lock_guard lock(lock_);
    if (hop >= addresses_.size()) {
        return std::nullopt;
    }
    return addresses_[hop];
}

float BaselineCell::baseline_for(std::uint8_t hop, float estimate) {
    const std::lock_guard lock(lock_);
    if (hop == 1) {
        baseline_ = estimate;
    }
    return baseline_.value_or(estimate);
}

double spacing_scatter(std::vector<double> samples) {
    if (samples.empty()) {
        return 0.0;
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() * 3 / 4] - samples[samples.size() / 4];
}

std::optional<HopEstimate> estimate_hop(std::uint8_t hop, std::vector<double> samples,
                                        std::vector<double> previous_hop_samples, BaselineCell& baseline) {
    const std::size_t count = samples.size();
    if (count < 2) {
        return std::nullopt;
    }
    const double scatter = spacing_scatter(samples) + spacing_scatter(previous_hop_samples);
    const double median = upper_median(std::move(samples));
    double spacing = median;
    if (hop >= 2 && previous_hop_samples.size() >= 2) {
        spacing = std::abs(median - upper_median(std::move(previous_hop_samples)));
    }
    spacing = std::max(spacing, spacing_floor_ms);
    const bool link_like = scatter <= even_spacing_spread * spacing;
    const double mbps = std::clamp(bits_per_packet / (spacing / 1000.0) / 1000000.0, lowest_mbps, highest_mbps);
    const auto estimate = static_cast<float>(mbps);
    const float baseline_mbps = baseline.baseline_for(hop, estimate);
    const std::string level = count >= 6 ? "high" : count >= 3 ? "medium" : "low";
    return HopEstimate{estimate,       baseline_mbps,    link_like && baseline_mbps * bottleneck_ratio > estimate,
                       level,          estimate * 0.8f,  estimate * 1.2f,
                       static_cast<std::uint32_t>(count)};
}

}  // namespace tarnvale::engines::bandwidth
