// Cost of decoding one command frame and of serialising each event kind.
#include <benchmark/benchmark.h>

#include "ipc/command_frame.hpp"
#include "ipc/events.hpp"

namespace {

using namespace tarnvale::ipc;

void decode_start_engine(benchmark::State& state) {
    const std::string line = R"({"cmd":"start_engine","engine":"hop","target":"203.0.113.10"})"
                             "\n";
    for (auto _ : state) {
        benchmark::DoNotOptimize(decode_line(line));
    }
}
BENCHMARK(decode_start_engine);

void decode_hello(benchmark::State& state) {
    const std::string line = R"({"cmd":"hello","version":"1.0","pid":123456})"
                             "\n";
    for (auto _ : state) {
        benchmark::DoNotOptimize(decode_line(line));
    }
}
BENCHMARK(decode_hello);

void serialize_event(benchmark::State& state, const Event& event) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(serialize(event));
    }
}

BENCHMARK_CAPTURE(serialize_event, hop_loss,
                  Event{HopLossEvent{1796630437, 3, "198.51.100.6", 14.285715f, 1.234f, 2.5f, true}});
BENCHMARK_CAPTURE(serialize_event, bw_estimate,
                  Event{BwEstimateEvent{1796630437, 3, "", 2.24f, 22.4f, true, {"medium", 1.792f, 2.688f, 3}}});
BENCHMARK_CAPTURE(serialize_event, app_traffic,
                  Event{AppTrafficEvent{1796630437, 4242, "iperf3", 19.87f, 0.12f, 0.75f, true}});
BENCHMARK_CAPTURE(serialize_event, degradation,
                  Event{DegradationEvent{1796630437, "medium", 3, 250u, "isp",
                                         "Packet loss is occurring at hop 3, likely within your ISP's "
                                         "infrastructure. This may be a transient issue.",
                                         std::uint8_t{3}, 10.0f, 1.2f}});
BENCHMARK_CAPTURE(serialize_event, error,
                  Event{ErrorEvent{1796630437, "capture", "ENGINE_STUB",
                                   "capture engine is not yet implemented; use the hop engine for loss detection",
                                   false}});
BENCHMARK_CAPTURE(serialize_event, ack, Event{AckEvent{"start_engine", true, std::nullopt}});

}  // namespace
