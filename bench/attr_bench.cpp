// The attribution accumulator's work per captured frame: reading the addresses
// and ports, keying the flow and adding to its counter (the capture read itself
// is not included). The target is at least five million frames a second.
#include <benchmark/benchmark.h>

#include <vector>

#include "engines/attr/flow_table.hpp"
#include "packets/byte_order.hpp"

namespace {

using namespace tarnvale;
using namespace tarnvale::engines::attr;

constexpr packets::Ipv4 local_address(0xC0A8010A);
constexpr std::size_t ethernet = 14;

// `flow_count` conversations with a public server, alternating direction.
std::vector<std::vector<std::uint8_t>> frames_of(std::size_t flow_count) {
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::size_t flow = 0; flow < flow_count; ++flow) {
        for (const bool up : {true, false}) {
            std::vector<std::uint8_t> frame(ethernet + 28, 0);
            const auto ip = std::span(frame).subspan(ethernet);
            ip[0] = 0x45;
            packets::write_u16(ip, 2, 1500);
            const packets::Ipv4 server(0xCB007100 + static_cast<std::uint32_t>(flow % 200));
            const auto local_port = static_cast<std::uint16_t>(40000 + flow);
            packets::write_u32(ip, 12, (up ? local_address : server).number());
            packets::write_u32(ip, 16, (up ? server : local_address).number());
            packets::write_u16(ip, 20, up ? local_port : 443);
            packets::write_u16(ip, 22, up ? 443 : local_port);
            frames.push_back(std::move(frame));
        }
    }
    return frames;
}

void account_frames(benchmark::State& state) {
    const auto frames = frames_of(static_cast<std::size_t>(state.range(0)));
    const LocalAddresses local = {packets::Ipv4(0x0A000002), local_address};
    FlowTable flows;
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(account_frame(frames[next], 1514, ethernet, local, flows));
        next = next + 1 == frames.size() ? 0 : next + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(account_frames)->Arg(1)->Arg(100)->Arg(10000);

void drain_flows(benchmark::State& state) {
    const auto frames = frames_of(static_cast<std::size_t>(state.range(0)));
    const LocalAddresses local = {local_address};
    FlowTable flows;
    for (auto _ : state) {
        state.PauseTiming();
        for (const auto& frame : frames) {
            account_frame(frame, 1514, ethernet, local, flows);
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(flows.drain());
    }
}
BENCHMARK(drain_flows)->Arg(1000);

}  // namespace
