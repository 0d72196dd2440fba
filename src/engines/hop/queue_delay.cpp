#include "engines/hop/queue_delay.hpp"

#include <algorithm>
#include <cmath>

namespace tarnvale::engines::hop {

namespace {

// The value at rank round(q × (n − 1)) of sorted values.
float quantile(const std::vector<float>& sorted, double q) {
    return sorted[static_cast<std::size_t>(std::lround(q * static_cast<double>(sorted.size() - 1)))];
}

}  // namespace

bool HopDelay::raised() const { return added_ms() > std::max(least_rise_ms, spread_factor * spread_ms); }

void DelayHistory::add(DelayClock::time_point at, float milliseconds) {
    samples_.emplace_back(at, milliseconds);
    const auto oldest_kept = at - delay_window * (baseline_windows + 1);
    while (!samples_.empty() && (samples_.front().first < oldest_kept || samples_.size() > delay_samples_kept)) {
        samples_.pop_front();
    }
}

std::optional<HopDelay> DelayHistory::delay(DelayClock::time_point now) const {
    std::vector<std::vector<float>> windows(baseline_windows + 1);
    for (const auto& [at, milliseconds] : samples_) {
        if (at > now) {
            continue;
        }
        const auto index = static_cast<std::size_t>((now - at) / delay_window);
        if (index < windows.size()) {
            windows[index].push_back(milliseconds);
        }
    }
    if (windows.front().size() < window_samples_needed) {
        return std::nullopt;
    }
    // Each window sorted once gives both of its quantiles: the delays are worked
    // out anew for every hop at every report, and the simulations run that a million times.
    std::vector<float> levels;
    std::vector<float> spreads;
    for (std::size_t index = 1; index < windows.size(); ++index) {
        auto& window = windows[index];
        if (window.size() < window_samples_needed) {
            continue;
        }
        std::sort(window.begin(), window.end());
        const float low = quantile(window, level_quantile);
        levels.push_back(low);
        spreads.push_back(quantile(window, 1.0 - level_quantile) - low);
    }
    if (levels.size() < baseline_windows_needed) {
        return std::nullopt;
    }
    std::sort(windows.front().begin(), windows.front().end());
    std::sort(spreads.begin(), spreads.end());
    return HopDelay{*std::min_element(levels.begin(), levels.end()), quantile(windows.front(), level_quantile),
                    quantile(spreads, 0.5)};
}

void DelayTable::record(std::uint8_t ttl, DelayClock::time_point at, float milliseconds) {
    const std::lock_guard lock(lock_);
    if (ttl < hops_.size()) {
        hops_[ttl].add(at, milliseconds);
    }
}

void DelayTable::restart(std::uint8_t ttl) {
    const std::lock_guard lock(lock_);
    if (ttl < hops_.size()) {
        hops_[ttl] = DelayHistory{};
    }
}

std::vector<std::optional<HopDelay>> DelayTable::delays(DelayClock::time_point now, std::uint8_t last_ttl) const {
    const std::lock_guard lock(lock_);
    std::vector<std::optional<HopDelay>> delays(std::min<std::size_t>(std::size_t{last_ttl} + 1, hops_.size()));
    for (std::size_t ttl = 1; ttl < delays.size(); ++ttl) {
        delays[ttl] = hops_[ttl].delay(now);
    }
    return delays;
}

bool carries_queue(const std::vector<std::optional<HopDelay>>& delays, const QueueLocation& queue, std::uint8_t hop) {
    if (hop < queue.hop || hop >= delays.size() || !delays[hop]) {
        return false;
    }
    return delays[hop]->raised() || delays[hop]->added_ms() >= carried_share * queue.delay.added_ms();
}

std::optional<QueueLocation> locate_queue(const std::vector<std::optional<HopDelay>>& delays) {
    std::optional<std::size_t> previous;  // the nearest lower hop with a delay
    for (std::size_t hop = 1; hop < delays.size(); ++hop) {
        if (!delays[hop]) {
            continue;
        }
        const QueueLocation candidate{static_cast<std::uint8_t>(hop), *delays[hop]};
        // The rise must begin here: a lower hop that shares much of it means the
        // queue lies in front of that hop, whose own reading is off this cycle.
        const bool begins_here =
            !previous || delays[*previous]->added_ms() < carried_share * candidate.delay.added_ms();
        previous = hop;
        if (!candidate.delay.raised() || !begins_here) {
            continue;
        }
        bool carried = true;
        for (std::size_t later = hop + 1; later < delays.size() && carried; ++later) {
            carried = !delays[later] || carries_queue(delays, candidate, static_cast<std::uint8_t>(later));
        }
        if (carried) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<QueueLocation> QueueLocator::update(const std::vector<std::optional<HopDelay>>& delays) {
    const auto candidate = locate_queue(delays);
    const std::optional<std::uint8_t> hop = candidate ? std::optional(candidate->hop) : std::nullopt;
    const bool confirmed = hop && hop == previous_hop_;
    previous_hop_ = hop;
    return confirmed ? candidate : std::nullopt;
}

}  // namespace tarnvale::engines::hop
