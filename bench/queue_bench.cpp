// The queue locator's work per hop-engine report cycle (every 7 s): reading every
// hop's delay from ten and a half minutes of round trips and locating the queue.
// Its share of a core is the time per cycle divided by 7 s; the target is well
// under 0.5 %.
#include <benchmark/benchmark.h>

#include "engines/hop/queue_delay.hpp"

namespace {

using namespace tarnvale::engines::hop;

// A full history: three round trips per hop every 5 s, as the engine measures them.
void fill(DelayTable& table, std::uint8_t hops, DelayClock::time_point now) {
    const auto span = delay_window * (baseline_windows + 1);
    for (auto at = now - span; at <= now; at += std::chrono::milliseconds(1667)) {
        for (std::uint8_t hop = 1; hop <= hops; ++hop) {
            const auto jitter = static_cast<float>((at.time_since_epoch().count() / 1000 + hop) % 97) / 97.0f;
            table.record(hop, at, 2.0f * hop + jitter);
        }
    }
}

void report_cycle(benchmark::State& state) {
    const auto hops = static_cast<std::uint8_t>(state.range(0));
    const auto now = DelayClock::now();
    DelayTable table(std::size_t{hops} + 1);
    fill(table, hops, now);
    QueueLocator locator;
    for (auto _ : state) {
        const auto delays = table.delays(now, hops);
        benchmark::DoNotOptimize(locator.update(delays));
    }
}

BENCHMARK(report_cycle)->Arg(4)->Arg(10)->Arg(30)->Unit(benchmark::kMicrosecond);

}  // namespace
