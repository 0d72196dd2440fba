#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

// Queueing delay per hop, and the hop behind a loaded link. A loaded link's
// standing queue adds its delay to every round trip that crosses it, whatever
// the link's rate, so the first hop whose round trips rise and stay raised at
// every later hop up to the target is behind it. A router whose own answers are
// slow shows a rise that the later hops do not share.
namespace tarnvale::engines::hop {

using DelayClock = std::chrono::steady_clock;

// Round trips are judged in windows of this length: the newest window gives the
// current level, the earlier ones over ten minutes the baseline.
inline constexpr std::chrono::seconds delay_window{30};
inline constexpr unsigned baseline_windows = 20;
// A window's level is this low quantile of its round trips: a standing queue
// raises nearly every sample, while a few slow answers do not move it.
inline constexpr double level_quantile = 0.25;
inline constexpr std::size_t window_samples_needed = 4;
inline constexpr std::size_t baseline_windows_needed = 2;
inline constexpr std::size_t delay_samples_kept = 1024;
// A rise counts when it exceeds this floor and this many times the hop's usual
// spread of round trips within a window.
inline constexpr float least_rise_ms = 10.0f;
inline constexpr float spread_factor = 3.0f;
// A later hop carries the queue when its own rise is at least this share of the
// rise where the queue is located.
inline constexpr float carried_share = 0.5f;

struct HopDelay {
    float baseline_ms = 0;  // lowest window level of the earlier windows
    float current_ms = 0;   // level of the newest window
    float spread_ms = 0;    // median of the earlier windows' interquartile ranges

    float added_ms() const { return current_ms - baseline_ms; }
    // The rise stands clearly above the hop's own jitter.
    bool raised() const;
};

// One hop's round trips of the last ten and a half minutes, at most
// delay_samples_kept of them.
class DelayHistory {
public:
    void add(DelayClock::time_point at, float milliseconds);
    // Nothing until the newest window and enough earlier ones hold enough samples.
    std::optional<HopDelay> delay(DelayClock::time_point now) const;

private:
    std::deque<std::pair<DelayClock::time_point, float>> samples_;
};

// One DelayHistory per TTL (entry 0 unused), fed by the pinger's echo replies and
// the receiver's probe answers, under its own lock.
class DelayTable {
public:
    explicit DelayTable(std::size_t entries) : hops_(entries) {}

    void record(std::uint8_t ttl, DelayClock::time_point at, float milliseconds);
    // Another router answers at this TTL: its round trips, and so its baseline, begin again.
    void restart(std::uint8_t ttl);
    // The delays of TTLs 0 to last_ttl (entry 0 always empty).
    std::vector<std::optional<HopDelay>> delays(DelayClock::time_point now, std::uint8_t last_ttl) const;

private:
    mutable std::mutex lock_;
    std::vector<DelayHistory> hops_;
};

struct QueueLocation {
    std::uint8_t hop;
    HopDelay delay;
};

// The lowest hop whose rise is raised, not shared in large part by the hop
// before it, and carried by every later hop that has a delay, up to the end of
// `delays` (the target's distance).
std::optional<QueueLocation> locate_queue(const std::vector<std::optional<HopDelay>>& delays);

// Whether `hop` is at or behind the queue and carries it: its own rise is raised
// or at least carried_share of the queue's.
bool carries_queue(const std::vector<std::optional<HopDelay>>& delays, const QueueLocation& queue, std::uint8_t hop);

// The queue located at the same hop in two report cycles running: samples of a
// queue forming or draining can point at any hop for one cycle.
class QueueLocator {
public:
    std::optional<QueueLocation> update(const std::vector<std::optional<HopDelay>>& delays);

private:
    std::optional<std::uint8_t> previous_hop_;
};

}  // namespace tarnvale::engines::hop
