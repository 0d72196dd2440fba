// The attribution accumulator's work per captured frame: reading the addresses
// and ports, keying the flow and adding to its counter (the capture read itself
// is not included), for IPv4 frames and for IPv6 frames with and without an
// extension header before the TCP header; and the reporting cycle's matching of
// flows to the sockets that take them, among 10 000 sockets half of which are
// bound to the wildcard address. The target is at least five million frames (or
// flows) a second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "engines/attr/flow_table.hpp"
#include "engines/attr/traffic_report.hpp"
#include "packets/byte_order.hpp"

namespace {

using namespace tarnvale;
using namespace tarnvale::engines::attr;

constexpr packets::Ipv4 local_address(0xC0A8010A);
// 2001:db8:1::10
constexpr packets::IpAddress local_address_v6 =
    packets::IpAddress::from_octets({0x20, 0x01, 0x0D, 0xB8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10});
constexpr std::size_t ethernet = 14;

// `flow_count` conversations with a public server, alternating direction.
std::vector<std::vector<std::uint8_t>> ipv4_frames(std::size_t flow_count) {
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::size_t flow = 0; flow < flow_count; ++flow) {
        for (const bool up : {true, false}) {
            std::vector<std::uint8_t> frame(ethernet + 28, 0);
            const auto ip = std::span(frame).subspan(ethernet);
            ip[0] = 0x45;
            packets::write_u16(ip, 2, 1500);
            ip[9] = packets::protocol_tcp;
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

// The same over IPv6 (server 2001:db8:113::N), with a hop-by-hop options
// header of 8 bytes before the TCP header when `extension` is set.
std::vector<std::vector<std::uint8_t>> ipv6_frames(std::size_t flow_count, bool extension) {
    std::vector<std::vector<std::uint8_t>> frames;
    const std::size_t extension_bytes = extension ? 8 : 0;
    for (std::size_t flow = 0; flow < flow_count; ++flow) {
        auto server = local_address_v6.octets();
        server[5] = 0x13;
        server[14] = static_cast<std::uint8_t>(flow % 200);
        for (const bool up : {true, false}) {
            std::vector<std::uint8_t> frame(ethernet + 40 + extension_bytes + 20, 0);
            const auto ip = std::span(frame).subspan(ethernet);
            ip[0] = 0x60;
            packets::write_u16(ip, 4, 1440);
            ip[6] = extension ? 0 : packets::protocol_tcp;
            const auto& source = up ? local_address_v6.octets() : server;
            const auto& destination = up ? server : local_address_v6.octets();
            std::copy(source.begin(), source.end(), ip.begin() + 8);
            std::copy(destination.begin(), destination.end(), ip.begin() + 24);
            if (extension) {
                ip[40] = packets::protocol_tcp;
            }
            const auto local_port = static_cast<std::uint16_t>(40000 + flow);
            packets::write_u16(ip, 40 + extension_bytes, up ? local_port : 443);
            packets::write_u16(ip, 42 + extension_bytes, up ? 443 : local_port);
            frames.push_back(std::move(frame));
        }
    }
    return frames;
}

void account(benchmark::State& state, const std::vector<std::vector<std::uint8_t>>& frames) {
    const LocalAddresses local = {packets::IpAddress(packets::Ipv4(0x0A000002)), packets::IpAddress(local_address),
                                  local_address_v6};
    FlowTable flows;
    FragmentPorts fragments;
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(account_frame(frames[next], 1514, ethernet, local, flows, fragments));
        next = next + 1 == frames.size() ? 0 : next + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

void account_frames(benchmark::State& state) { account(state, ipv4_frames(static_cast<std::size_t>(state.range(0)))); }
BENCHMARK(account_frames)->Arg(1)->Arg(100)->Arg(10000);

void account_ipv6_frames(benchmark::State& state) {
    account(state, ipv6_frames(static_cast<std::size_t>(state.range(0)), false));
}
BENCHMARK(account_ipv6_frames)->Arg(1)->Arg(100)->Arg(10000);

void account_ipv6_frames_with_extension(benchmark::State& state) {
    account(state, ipv6_frames(static_cast<std::size_t>(state.range(0)), true));
}
BENCHMARK(account_ipv6_frames_with_extension)->Arg(100)->Arg(10000);

void drain_flows(benchmark::State& state) {
    const auto frames = ipv4_frames(static_cast<std::size_t>(state.range(0)));
    const LocalAddresses local = {packets::IpAddress(local_address)};
    FlowTable flows;
    FragmentPorts fragments;
    for (auto _ : state) {
        state.PauseTiming();
        for (const auto& frame : frames) {
            account_frame(frame, 1514, ethernet, local, flows, fragments);
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(flows.drain());
    }
}
BENCHMARK(drain_flows)->Arg(1000);

// 10 000 sockets: 5 000 connected TCP ones, 5 000 unconnected UDP ones on the
// wildcard address (half of them dual-stack IPv6 sockets on [::]); one flow to
// each, the wildcard ones found after two or three look-ups.
void match_flows(benchmark::State& state) {
    constexpr std::uint16_t sockets_per_form = 5000;
    const packets::IpAddress local(local_address);
    std::vector<platform::SocketOwnerRow> tcp;
    std::vector<platform::SocketOwnerRow> udp;
    FlowSnapshot flows;
    for (std::uint16_t index = 0; index < sockets_per_form; ++index) {
        const packets::IpAddress server(packets::Ipv4(0xCB007100 + index % 200U));
        const auto port = static_cast<std::uint16_t>(20000 + index);
        tcp.push_back({local, port, 1000U + index, server, 443});
        const packets::IpAddress wildcard = index % 2 == 0 ? packets::IpAddress(packets::Ipv4()) : packets::IpAddress();
        udp.push_back({wildcard, port, 2000U + index, {}, 0});
        flows.emplace_back(flow_key_of({local, server, port, 443, packets::protocol_tcp}, {local}), 1500);
        flows.emplace_back(flow_key_of({local, server, port, 3478, packets::protocol_udp}, {local}), 1200);
    }
    const SocketOwners owners = build_socket_owners(tcp, udp);
    for (auto _ : state) {
        benchmark::DoNotOptimize(attribute_flows(flows, owners, {local}));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(flows.size()));
}
BENCHMARK(match_flows);

}  // namespace
