#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "capture/capture.hpp"
#include "engines/attr/flow_table.hpp"
#include "engines/attr/report_cycle.hpp"
#include "engines/attr/socket_owners.hpp"
#include "engines/attr/traffic_report.hpp"
#include "ipv6_packet_builder.hpp"
#include "packets/byte_order.hpp"

namespace {

using namespace tarnvale;
using namespace tarnvale::engines::attr;

constexpr packets::IpAddress home(packets::Ipv4(0xC0A8010A));    // 192.168.1.10
constexpr packets::IpAddress office(packets::Ipv4(0x0A000005));  // 10.0.0.5
constexpr packets::IpAddress server(packets::Ipv4(0xCB007109));  // 203.0.113.9
constexpr std::size_t ethernet = 14;

// An Ethernet frame carrying an IPv4 header of a TCP datagram with the given
// first byte and total length, then `transport` bytes beginning with the two ports.
std::vector<std::uint8_t> frame(packets::IpAddress source, packets::IpAddress destination, std::uint16_t source_port,
                                std::uint16_t destination_port, std::uint8_t version_and_length = 0x45,
                                std::uint16_t total_length = 60, std::size_t transport = 8) {
    const std::size_t header = std::max<std::size_t>(4U * (version_and_length & 0x0FU), 20);
    std::vector<std::uint8_t> bytes(ethernet + header + transport, 0);
    const auto ip = std::span(bytes).subspan(ethernet);
    ip[0] = version_and_length;
    packets::write_u16(ip, 2, total_length);
    ip[9] = packets::protocol_tcp;
    packets::write_u32(ip, 12, source.v4().number());
    packets::write_u32(ip, 16, destination.v4().number());
    if (transport >= 2) {
        packets::write_u16(ip, header, source_port);
    }
    if (transport >= 4) {
        packets::write_u16(ip, header + 2, destination_port);
    }
    return bytes;
}

TEST(AttrFrame, PortsAreReadAtTheHeadersEnd) {
    const auto plain = parse_frame(frame(home, server, 50000, 443), ethernet);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->source, home);
    EXPECT_EQ(plain->destination, server);
    EXPECT_EQ(plain->source_port, 50000);
    EXPECT_EQ(plain->destination_port, 443);

    // A 24-byte header with options: the ports follow the options.
    const auto with_options = parse_frame(frame(home, server, 1234, 53, 0x46, 64), ethernet);
    ASSERT_TRUE(with_options);
    EXPECT_EQ(with_options->source_port, 1234);
    EXPECT_EQ(with_options->destination_port, 53);

    // A header length below 5 words counts as 20 bytes.
    const auto too_small = parse_frame(frame(home, server, 7, 9, 0x43, 60), ethernet);
    ASSERT_TRUE(too_small);
    EXPECT_EQ(too_small->source_port, 7);

    auto udp = frame(home, server, 5353, 53);
    udp[ethernet + 9] = packets::protocol_udp;
    EXPECT_EQ(parse_frame(udp, ethernet)->protocol, packets::protocol_udp);
    EXPECT_EQ(plain->protocol, packets::protocol_tcp);
    auto icmp = frame(home, server, 0x0800, 0);
    icmp[ethernet + 9] = 1;
    EXPECT_FALSE(parse_frame(icmp, ethernet)) << "neither TCP nor UDP";

    // No Ethernet header on a raw IP link.
    auto raw = frame(home, server, 80, 8080);
    raw.erase(raw.begin(), raw.begin() + ethernet);
    ASSERT_TRUE(parse_frame(raw, 0));
    EXPECT_EQ(parse_frame(raw, 0)->destination_port, 8080);
}

TEST(AttrFrame, ShortFramesAndLengthRules) {
    EXPECT_FALSE(parse_frame(std::vector<std::uint8_t>(33, 0), ethernet));
    // The ports must be captured: 34 bytes hold the header and nothing after it.
    EXPECT_FALSE(parse_frame(frame(home, server, 1, 2, 0x45, 60, 0), ethernet));
    EXPECT_FALSE(parse_frame(frame(home, server, 1, 2, 0x45, 60, 3), ethernet));
    EXPECT_TRUE(parse_frame(frame(home, server, 1, 2, 0x45, 60, 4), ethernet));
    // The total length must leave room for the ports after the header.
    EXPECT_FALSE(parse_frame(frame(home, server, 1, 2, 0x45, 23), ethernet));
    EXPECT_TRUE(parse_frame(frame(home, server, 1, 2, 0x45, 24), ethernet));
    EXPECT_FALSE(parse_frame(frame(home, server, 1, 2, 0x45, 0), ethernet));
    // Options that reach past the capture leave no ports to read.
    EXPECT_FALSE(parse_frame(frame(home, server, 1, 2, 0x4F, 1500, 0), ethernet));
}

TEST(AttrFrame, PublicAddresses) {
    for (const std::uint32_t address : {0x0A000001U, 0x7F000001U, 0xC0A80001U, 0xAC100001U, 0xAC1FFFFFU,
                                        0xA9FE0101U, 0U, 0xFFFFFFFFU}) {
        EXPECT_FALSE(is_public(packets::IpAddress(packets::Ipv4(address)))) << packets::to_text(packets::Ipv4(address));
    }
    for (const std::uint32_t address : {server.v4().number(), 0xAC0F0001U, 0xAC200001U, 0x08080808U, 0xC0A90001U}) {
        EXPECT_TRUE(is_public(packets::IpAddress(packets::Ipv4(address)))) << packets::to_text(packets::Ipv4(address));
    }
}

platform::SocketOwnerRow row(packets::IpAddress address, std::uint16_t port, std::uint32_t pid) {
    return {address, port, pid, {}, 0};
}

platform::SocketOwnerRow connected(packets::IpAddress address, std::uint16_t port, std::uint32_t pid,
                                   packets::IpAddress remote, std::uint16_t remote_port) {
    return {address, port, pid, remote, remote_port};
}

// An IPv6 frame from the test builder behind a link header of `link_header` zero bytes.
std::vector<std::uint8_t> ipv6_frame(const std::vector<test_packets::Extension>& extensions, std::uint8_t upper,
                                     std::size_t link_header = ethernet) {
    auto bytes = test_packets::packet(extensions, upper);
    bytes.insert(bytes.begin(), link_header, 0);
    return bytes;
}

TEST(AttrFrame, Ipv6TcpAndUdpPortsBehindExtensionHeaders) {
    const auto plain = parse_frame(ipv6_frame({}, packets::protocol_tcp), ethernet);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->source, test_packets::address("2001:db8:1::10"));
    EXPECT_EQ(plain->destination, test_packets::address("2001:db8:113::10"));
    EXPECT_EQ(plain->source_port, 40000);
    EXPECT_EQ(plain->destination_port, 443);

    constexpr std::size_t linux_cooked = 16;
    const auto chained = parse_frame(
        ipv6_frame({{test_packets::hop_by_hop, 8}, {test_packets::fragment, 8}}, packets::protocol_udp, linux_cooked),
        linux_cooked);
    ASSERT_TRUE(chained);
    EXPECT_EQ(chained->destination_port, 443);

    EXPECT_FALSE(parse_frame(ipv6_frame({}, packets::protocol_icmpv6), ethernet)) << "neither TCP nor UDP";
    EXPECT_FALSE(parse_frame(ipv6_frame({{test_packets::hop_by_hop, 8}}, test_packets::esp), ethernet));
    EXPECT_FALSE(parse_frame(ipv6_frame({{test_packets::fragment, 8, 0x0100}}, packets::protocol_tcp), ethernet))
        << "a later fragment";
    auto cut = ipv6_frame({}, packets::protocol_tcp);
    cut.resize(ethernet + 40 + 3);
    EXPECT_FALSE(parse_frame(cut, ethernet)) << "ports cut off";
}

// A fragment of an IPv4 UDP datagram: identification 77, at `offset` (8-byte
// units), with more to come or not; a later one begins with payload, not ports.
std::vector<std::uint8_t> ipv4_fragment(std::uint16_t offset, bool more, std::uint16_t identification = 77) {
    auto bytes = frame(home, server, offset == 0 ? 5000 : 1, offset == 0 ? 4500 : 2);
    const auto ip = std::span(bytes).subspan(ethernet);
    ip[9] = packets::protocol_udp;
    packets::write_u16(ip, 4, identification);
    packets::write_u16(ip, 6, static_cast<std::uint16_t>(offset | (more ? 0x2000 : 0)));
    return bytes;
}

TEST(AttrFrame, LaterFragmentsCountToTheirDatagramsFlow) {
    const LocalAddresses local = {home};
    FlowTable flows;
    FragmentPorts fragments;
    EXPECT_FALSE(parse_frame(ipv4_fragment(185, false), ethernet)) << "no ports of its own, none learnt";
    EXPECT_FALSE(account_frame(ipv4_fragment(185, false), 600, ethernet, local, flows, fragments)) << "first unseen";
    EXPECT_TRUE(account_frame(ipv4_fragment(0, true), 1514, ethernet, local, flows, fragments));
    EXPECT_TRUE(account_frame(ipv4_fragment(185, true), 1514, ethernet, local, flows, fragments));
    EXPECT_TRUE(account_frame(ipv4_fragment(370, false), 300, ethernet, local, flows, fragments));
    EXPECT_FALSE(account_frame(ipv4_fragment(185, false, 78), 600, ethernet, local, flows, fragments))
        << "another datagram";
    const FlowKey datagram_flow = flow_key_of({home, server, 5000, 4500, packets::protocol_udp}, local);
    EXPECT_EQ(flows.drain(), (FlowSnapshot{{datagram_flow, 3328}}));

    // IPv6: the fragment header says where; a later fragment's upper-layer bytes are payload.
    auto later = ipv6_frame({{test_packets::fragment, 8, 0x00B8}}, packets::protocol_udp);
    packets::write_u16(later, ethernet + 48, 1);
    packets::write_u16(later, ethernet + 50, 2);
    const auto first = ipv6_frame({{test_packets::fragment, 8, 0x0001}}, packets::protocol_udp);
    ASSERT_TRUE(parse_frame(first, ethernet, &fragments));
    const auto learnt = parse_frame(later, ethernet, &fragments);
    ASSERT_TRUE(learnt);
    EXPECT_EQ(learnt->source_port, 40000);
    EXPECT_EQ(learnt->destination_port, 443);
    EXPECT_EQ(learnt->protocol, packets::protocol_udp);

    FragmentPorts few;
    for (std::uint16_t identification = 0; identification <= FragmentPorts::capacity; ++identification) {
        parse_frame(ipv4_fragment(0, true, identification), ethernet, &few);
    }
    EXPECT_FALSE(parse_frame(ipv4_fragment(185, false, 0), ethernet, &few)) << "the oldest is forgotten";
    EXPECT_TRUE(parse_frame(ipv4_fragment(185, false, 1), ethernet, &few));
}

TEST(AttrFrame, Ipv6PublicAddresses) {
    for (const char* text : {"::", "::1", "fe80::1", "febf:ffff::1", "fc00::1", "fd12:3456::1", "ff02::1",
                             "ff0e::101", "::ffff:192.168.1.10", "::ffff:10.1.2.3"}) {
        EXPECT_FALSE(is_public(test_packets::address(text))) << text;
    }
    for (const char* text : {"2001:db8:113::10", "2a00:1450:4001::200e", "fec0::1", "fe00::1", "::ffff:203.0.113.9",
                             "64:ff9b::cb00:7109"}) {
        EXPECT_TRUE(is_public(test_packets::address(text))) << text;
    }
}

TEST(AttrSockets, AMappedIpv6SocketOwnsItsIpv4FlowAndIpv6FlowsFindIpv6Sockets) {
    const packets::IpAddress home_v6 = test_packets::address("2001:db8:1::10");
    const LocalAddresses local = {home, home_v6};
    FlowTable flows;
    FragmentPorts fragments;
    EXPECT_TRUE(account_frame(frame(home, server, 50000, 443), 1500, ethernet, local, flows, fragments));
    EXPECT_TRUE(account_frame(ipv6_frame({}, packets::protocol_tcp), 1400, ethernet, local, flows, fragments));
    const SocketOwners owners = build_socket_owners(
        {row(test_packets::address("::ffff:192.168.1.10"), 50000, 300), row(home_v6, 40000, 300)}, {});
    const TrafficTally tally = attribute_flows(flows.drain(), owners, local);
    ASSERT_EQ(tally.processes.size(), 1U);
    EXPECT_EQ(tally.processes.at(300).up, 2900U) << "one process, one IPv4 and one IPv6 flow";
}

TEST(AttrFlows, BothDirectionsShareTheEndpointsAndDifferInDirection) {
    const LocalAddresses local = {home};
    const FlowKey up = flow_key_of({home, server, 50000, 443}, local);
    const FlowKey down = flow_key_of({server, home, 443, 50000}, local);
    EXPECT_EQ(up.addr_a, home);
    EXPECT_EQ(up.port_a, 50000);
    EXPECT_EQ(up.addr_b, server);
    EXPECT_EQ(up.port_b, 443);
    EXPECT_TRUE(up.up);
    EXPECT_FALSE(down.up);
    EXPECT_EQ((FlowKey{down.addr_a, down.port_a, down.addr_b, down.port_b, true}), up);
    EXPECT_NE(std::hash<FlowKey>{}(up), std::hash<FlowKey>{}(down));
}

TEST(AttrFlows, AccountingAndDraining) {
    const LocalAddresses local = {home};
    FlowTable flows;
    FragmentPorts fragments;
    EXPECT_FALSE(account_frame(frame(home, office, 1, 2), 1500, ethernet, local, flows, fragments));
    EXPECT_TRUE(account_frame(frame(home, server, 50000, 443), 1500, ethernet, local, flows, fragments));
    EXPECT_TRUE(account_frame(frame(home, server, 50000, 443), 100, ethernet, local, flows, fragments));
    EXPECT_TRUE(account_frame(frame(server, home, 443, 50000), 60, ethernet, local, flows, fragments));

    auto snapshot = flows.drain();
    std::sort(snapshot.begin(), snapshot.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    ASSERT_EQ(snapshot.size(), 2U);
    EXPECT_FALSE(snapshot[0].first.up);
    EXPECT_EQ(snapshot[0].second, 60U);
    EXPECT_TRUE(snapshot[1].first.up);
    EXPECT_EQ(snapshot[1].second, 1600U);
    EXPECT_EQ(flows.size(), 2U) << "drained entries stay for the next cycle";
    account_frame(frame(home, server, 50000, 443), 40, ethernet, local, flows, fragments);
    EXPECT_EQ(flows.drain(), (FlowSnapshot{{snapshot[1].first, 40}})) << "a drained count starts again from 0";
    EXPECT_EQ(flows.size(), 1U) << "the flow idle for a whole cycle is gone";
    EXPECT_TRUE(flows.drain().empty());
    EXPECT_EQ(flows.size(), 0U);
}

constexpr packets::IpAddress any_address{packets::Ipv4()};
constexpr packets::IpAddress any_address_v6{};
constexpr std::uint8_t tcp = packets::protocol_tcp;
constexpr std::uint8_t udp = packets::protocol_udp;

// The owner of the host's socket that takes packets between `local`, one of
// the host's addresses, and `remote`.
std::optional<std::uint32_t> owner_of(const SocketOwners& owners, std::uint8_t protocol, packets::IpAddress local,
                                      std::uint16_t local_port, packets::IpAddress remote, std::uint16_t remote_port) {
    const LocalAddresses host = {local};
    return owners.owner_of(flow_key_of({local, remote, local_port, remote_port, protocol}, host), host);
}

// The kernel's order: the connected socket, the one bound to the address, the
// family's wildcard, and for IPv4 the dual-stack IPv6 wildcard; TCP and UDP apart.
TEST(AttrSockets, LookupOrderExactBoundWildcardMapped) {
    const packets::IpAddress home_v6 = test_packets::address("2001:db8:1::10");
    const packets::IpAddress server_v6 = test_packets::address("2001:db8:113::10");
    const packets::IpAddress peer(packets::Ipv4(0xC6336401));  // 198.51.100.1
    const auto owners =
        build_socket_owners({row(any_address, 443, 10), connected(home, 443, 11, server, 50000), row(home, 8080, 12)},
                            {row(any_address, 5000, 20), row(home, 5000, 21), connected(home, 5000, 22, server, 53),
                             row(any_address_v6, 6000, 30), row(any_address_v6, 7000, 40), row(any_address, 7000, 41),
                             row(test_packets::address("::ffff:192.168.1.10"), 8000, 50), row(home_v6, 9000, 60),
                             row(any_address_v6, 9001, 61)});

    EXPECT_EQ(owner_of(owners, tcp, home, 443, server, 50000), 11U) << "an accepted connection";
    EXPECT_EQ(owner_of(owners, tcp, home, 443, peer, 50000), 10U) << "its listener on the wildcard";
    EXPECT_EQ(owner_of(owners, udp, home, 5000, server, 53), 22U) << "connected";
    EXPECT_EQ(owner_of(owners, udp, home, 5000, peer, 53), 21U) << "bound to the address";
    EXPECT_EQ(owner_of(owners, udp, office, 5000, peer, 53), 20U) << "another address: the wildcard";
    EXPECT_EQ(owner_of(owners, udp, home, 6000, server, 443), 30U) << "IPv4 through a dual-stack socket";
    EXPECT_EQ(owner_of(owners, udp, home, 7000, server, 443), 41U) << "the IPv4 wildcard before the dual-stack one";
    EXPECT_EQ(owner_of(owners, udp, home_v6, 7000, server_v6, 443), 40U) << "IPv6 never takes the IPv4 wildcard";
    EXPECT_EQ(owner_of(owners, udp, home, 8000, server, 443), 50U) << "bound to a mapped address";
    EXPECT_EQ(owner_of(owners, udp, home_v6, 9000, server_v6, 443), 60U);
    EXPECT_EQ(owner_of(owners, udp, home_v6, 9001, server_v6, 443), 61U);

    EXPECT_FALSE(owner_of(owners, udp, home, 443, server, 50000)) << "TCP sockets take no UDP";
    EXPECT_FALSE(owner_of(owners, tcp, home, 5000, server, 53)) << "UDP sockets take no TCP";
    EXPECT_EQ(owner_of(owners, tcp, home, 8080, server, 80), 12U);
    EXPECT_FALSE(owner_of(owners, tcp, office, 8080, server, 80)) << "a socket bound to one address takes no other";
    EXPECT_FALSE(owner_of(owners, tcp, home_v6, 443, server_v6, 50000)) << "the IPv4 wildcard takes no IPv6";
    EXPECT_FALSE(owner_of(owners, udp, home, 9000, server, 443)) << "an IPv6 address takes no IPv4";
}

TEST(AttrSockets, ALaterRowForTheSameSocketReplacesTheEarlier) {
    const auto owners =
        build_socket_owners({row(home, 5000, 10), row(home, 5000, 11), connected(home, 6000, 12, server, 443),
                             connected(home, 6000, 13, server, 443)},
                            {});
    EXPECT_EQ(owner_of(owners, tcp, home, 5000, server, 443), 11U);
    EXPECT_EQ(owner_of(owners, tcp, home, 6000, server, 443), 13U);
}

TEST(AttrSockets, ASocketClosedSinceTheLastCycleStillOwnsItsLastBytes) {
    const auto before =
        build_socket_owners({row(home, 5000, 10), row(home, 6000, 12), connected(home, 7000, 14, server, 443)}, {});
    // 5000 closed; 6000 reused by another; 7000 closing, its owner gone from the table.
    const auto now = build_socket_owners({row(home, 6000, 13), connected(home, 7000, 0, server, 443)}, {});
    auto merged = now;
    merged.keep_recently_closed(before);
    EXPECT_EQ(owner_of(merged, tcp, home, 5000, server, 443), 10U);
    EXPECT_EQ(owner_of(merged, tcp, home, 6000, server, 443), 13U) << "the current owner wins";
    EXPECT_EQ(owner_of(merged, tcp, home, 7000, server, 443), 14U) << "a socket without an owner now keeps its last";
    auto next = now;
    next.keep_recently_closed(now);
    EXPECT_FALSE(owner_of(next, tcp, home, 5000, server, 443)) << "for one cycle only";
}

TEST(AttrNames, BaseNamesFallbacksAndPruning) {
    EXPECT_EQ(executable_base_name("C:\\Program Files\\App\\app.exe"), "app.exe");
    EXPECT_EQ(executable_base_name("/usr/bin/iperf3"), "iperf3");
    EXPECT_EQ(executable_base_name("plain"), "plain");

    int lookups = 0;
    ProcessNameCache names([&lookups](std::uint32_t pid) -> std::optional<std::string> {
        ++lookups;
        if (pid == 77) {
            return std::nullopt;  // already gone
        }
        return "/opt/app/bin/app" + std::to_string(pid);
    });
    EXPECT_EQ(names.name_of(77), "PID:77");
    EXPECT_EQ(names.name_of(77), "PID:77");
    EXPECT_EQ(names.name_of(3), "app3");
    EXPECT_EQ(lookups, 2) << "each process is resolved once, failures included";

    for (std::uint32_t pid = 100; pid < 354; ++pid) {
        names.name_of(pid);
    }
    ASSERT_EQ(names.size(), 256U);
    names.prune({100, 101});
    EXPECT_EQ(names.size(), 256U) << "at the limit nothing is removed";

    for (std::uint32_t pid = 354; pid < 398; ++pid) {
        names.name_of(pid);
    }
    ASSERT_EQ(names.size(), 300U);
    names.prune({3, 100, 397, 5000, 6000});
    EXPECT_EQ(names.size(), 3U);
    EXPECT_TRUE(names.contains(3) && names.contains(100) && names.contains(397));
}

TEST(AttrNames, ContainersFromTheirControlGroups) {
    const std::string id = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    EXPECT_EQ(container_of("0::/system.slice/docker-" + id + ".scope\n"), "docker 0123456789ab") << "cgroup v2";
    EXPECT_EQ(container_of("12:pids:/docker/" + id + "\n11:memory:/docker/" + id + "\n"), "docker 0123456789ab")
        << "cgroup v1";
    EXPECT_EQ(container_of("0::/user.slice/user-1000.slice/user@1000.service/user.slice/libpod-" + id + ".scope"),
              "podman 0123456789ab");
    EXPECT_EQ(container_of("0::/machine.slice/libpod-conmon-" + id + ".scope\n"), std::nullopt)
        << "podman's monitor runs beside the container";
    EXPECT_EQ(container_of("0::/kubepods.slice/kubepods-besteffort.slice/cri-containerd-" + id + ".scope"),
              "containerd 0123456789ab");
    EXPECT_EQ(container_of("0::/lxc.payload.web/system.slice/nginx.service\n"), "lxc web");
    EXPECT_EQ(container_of("4:memory:/lxc/db\n"), "lxc db");
    EXPECT_EQ(container_of("0::/user.slice/user-1000.slice/session-2.scope\n"), std::nullopt);
    EXPECT_EQ(container_of("0::/\n"), std::nullopt);
    EXPECT_EQ(container_of("garbage"), std::nullopt);

    ProcessNameCache names([](std::uint32_t) { return std::optional<std::string>("/usr/bin/python3"); },
                           [&id](std::uint32_t pid) -> std::optional<std::string> {
                               return pid == 7 ? std::optional("0::/system.slice/docker-" + id + ".scope") : std::nullopt;
                           });
    EXPECT_EQ(names.name_of(7), "python3 (docker 0123456789ab)");
    EXPECT_EQ(names.name_of(8), "python3");
}

TEST(AttrReport, AttributionByEitherEndpointAndTheUnowned) {
    const LocalAddresses local = {home};
    const packets::IpAddress low_peer(packets::Ipv4(0x5DB8D822));  // 93.184.216.34: the flow's A endpoint
    const FlowKey browser_down = flow_key_of({server, home, 443, 50000}, local);
    const FlowKey served_up = flow_key_of({home, server, 8080, 40000}, local);
    const FlowKey system_up = flow_key_of({home, server, 445, 40001}, local);
    const FlowKey unowned = flow_key_of({home, server, 9, 9}, local);
    const FlowKey ownerless = flow_key_of({home, server, 7000, 443}, local);
    const FlowKey to_peers_443 = flow_key_of({home, low_peer, 50001, 443}, local);
    const FlowKey new_to_peers_443 = flow_key_of({home, low_peer, 50002, 443}, local);
    const SocketOwners owners = build_socket_owners({connected(home, 50000, 1000, server, 443), row(home, 8080, 2000),
                                                     row(home, 445, 4), row(home, 7000, 0), row(any_address, 443, 3000),
                                                     connected(home, 50001, 1001, low_peer, 443)},
                                                    {});
    const TrafficTally tally = attribute_flows({{browser_down, 1'250'000},
                                                {served_up, 500},
                                                {system_up, 900},
                                                {unowned, 600'000},
                                                {ownerless, 25'000},
                                                {to_peers_443, 100},
                                                {new_to_peers_443, 200}},
                                               owners, local);
    ASSERT_EQ(tally.processes.size(), 3U);
    EXPECT_EQ(tally.processes.at(1000).down, 1'250'000U);
    EXPECT_EQ(tally.processes.at(2000).up, 500U) << "a listener on the host's side";
    EXPECT_EQ(tally.processes.at(1001).up, 100U) << "the connection, though the peer's side sorts first";
    EXPECT_FALSE(tally.processes.contains(3000)) << "the local server on 443 takes no flow to a peer's 443";
    EXPECT_EQ(tally.unowned.up, 625'200U) << "no socket, and a socket without an owner";
    EXPECT_EQ(tally.unmatched, (std::vector<FlowKey>{unowned, new_to_peers_443}))
        << "no socket at all: the tables are read again for them";
    EXPECT_EQ(tally.total_up, 626'700U) << "every byte, the system's included";
    EXPECT_EQ(tally.total_down, 1'250'000U);

    const auto rates = rate_processes(tally, 1.0, 0);
    ASSERT_EQ(rates.size(), 1U) << "500 bytes a second is below the floor";
    EXPECT_EQ(rates[0].pid, 1000U);
    EXPECT_FLOAT_EQ(rates[0].mbps_down, 10.0F);
    EXPECT_FALSE(rates[0].saturating);

    const auto unowned_rates = rate_unowned(tally.unowned, tally, 1.0, 10);
    ASSERT_TRUE(unowned_rates);
    EXPECT_FLOAT_EQ(unowned_rates->mbps_up, 5.0016F);
    EXPECT_TRUE(unowned_rates->saturating);
    EXPECT_NEAR(unowned_rates->loss_share, 0.1 * 625'200 / 626'700, 1e-6);
    const TrafficTally little{{}, {6'250, 5'000}, {}, {}, 6'250, 5'000};
    EXPECT_FALSE(rate_unowned(little.unowned, little, 1.0, 0)) << "0.09 Mbps";
}

// A container's socket has the container's address; on the host's uplink its
// packets carry the host's, translated, with the same port.
TEST(AttrReport, OtherNamespacesTakeWhatTheHostsSocketsLeaveByPortAndRemoteEndpoint) {
    const packets::IpAddress container(packets::Ipv4(0xAC110002));  // 172.17.0.2
    const packets::IpAddress peer(packets::Ipv4(0xC6336401));       // 198.51.100.1
    const LocalAddresses local = {home};
    const FlowKey connected_up = flow_key_of({home, server, 40000, 443, packets::protocol_udp}, local);
    const FlowKey unconnected_up = flow_key_of({home, peer, 51413, 6881, packets::protocol_udp}, local);
    const FlowKey unreadable_up = flow_key_of({home, server, 40001, 443, packets::protocol_tcp}, local);
    const FlowKey other_remote = flow_key_of({home, peer, 40000, 443, packets::protocol_udp}, local);
    const FlowKey hosts_own = flow_key_of({home, server, 50000, 443, packets::protocol_udp}, local);
    // Its port is the server's: a listener of another namespace on that port takes nothing of the host's.
    const FlowKey to_server_port = flow_key_of({home, server, 47000, 40002, packets::protocol_tcp}, local);
    const SocketOwners host = build_socket_owners({}, {row(home, 50000, 300)});
    const OtherNamespaceOwners others = build_other_namespace_owners(
        {connected(container, 40001, 0, server, 443), row(any_address_v6, 40002, 1000)},
        {connected(container, 40000, 700, server, 443), row(any_address_v6, 51413, 800), row(home, 50000, 900)});
    const FlowSnapshot flows = {{connected_up, 1000}, {unconnected_up, 2000}, {unreadable_up, 4000},
                                {other_remote, 8000}, {hosts_own, 16000}, {to_server_port, 32000}};

    const TrafficTally tally = attribute_flows(flows, host, local, &others);
    EXPECT_EQ(tally.processes.at(700).up, 1000U);
    EXPECT_EQ(tally.processes.at(800).up, 2000U) << "an unconnected socket by its port alone";
    EXPECT_EQ(tally.other_namespaces.up, 4000U) << "a socket found, its owner not readable";
    EXPECT_EQ(tally.unowned.up, 40000U) << "port 40000 is connected to another remote; 40002 is the server's";
    EXPECT_FALSE(tally.processes.contains(1000));
    EXPECT_EQ(tally.processes.at(300).up, 16000U) << "the host's own socket first";
    EXPECT_FALSE(tally.processes.contains(900));
    EXPECT_EQ(tally.total_up, 63000U);

    const TrafficTally host_only = attribute_flows(flows, host, local);
    EXPECT_EQ(host_only.unowned.up, 47000U);
    EXPECT_EQ(host_only.other_namespaces.up, 0U);
}

std::vector<ProcessRates> rated(std::vector<std::pair<std::uint64_t, std::uint64_t>> up_and_down,
                                std::uint32_t loss_pct = 0) {
    TrafficTally tally;
    std::uint32_t pid = 1;
    for (const auto& [up, down] : up_and_down) {
        tally.processes[pid++] = {up, down};
        tally.total_up += up;
        tally.total_down += down;
    }
    auto rates = rate_processes(tally, 1.0, loss_pct);
    std::sort(rates.begin(), rates.end(), [](const auto& a, const auto& b) { return a.pid < b.pid; });
    return rates;
}

TEST(AttrReport, RatesFloorSaturationAndLossShare) {
    EXPECT_FLOAT_EQ(rate_mbps(1'250'000, 1.0), 10.0F);
    EXPECT_FLOAT_EQ(rate_mbps(1'250'000, 2.0), 5.0F);
    EXPECT_EQ(rate_mbps(1'250'000, 0.0), 0.0F);

    EXPECT_EQ(rated({{7'500, 6'250}}).size(), 1U) << "0.06 + 0.05 Mbps";
    EXPECT_TRUE(rated({{6'250, 5'000}}).empty()) << "0.05 + 0.04 Mbps";

    const auto three_and_one = rated({{375'000, 0}, {125'000, 0}});
    ASSERT_EQ(three_and_one.size(), 2U);
    EXPECT_TRUE(three_and_one[0].saturating);
    EXPECT_FALSE(three_and_one[1].saturating);

    const auto two_and_three = rated({{250'000, 0}, {375'000, 0}});
    ASSERT_EQ(two_and_three.size(), 2U);
    EXPECT_TRUE(two_and_three[0].saturating) << "a share of exactly 0.4";
    EXPECT_TRUE(two_and_three[1].saturating);

    const auto download_only = rated({{0, 1'250'000}}, 20);
    ASSERT_EQ(download_only.size(), 1U);
    EXPECT_FALSE(download_only[0].saturating);
    EXPECT_EQ(download_only[0].loss_share, 0.0F);

    const auto shared_loss = rated({{375'000, 0}, {125'000, 0}}, 20);
    EXPECT_FLOAT_EQ(shared_loss[0].loss_share, 0.15F);
    EXPECT_FLOAT_EQ(shared_loss[1].loss_share, 0.05F);
}

capture::CaptureDevice described(std::string name, std::optional<std::string> description,
                                 std::vector<packets::Ipv4> addresses) {
    return {std::move(name), std::move(description), std::move(addresses)};
}

packets::Ipv4 ip(std::string_view text) {
    return packets::parse_ipv4(text).value();
}

TEST(AttrDevice, DescriptionsAndAddressesDecideWithoutFallback) {
    const auto choose = [](const std::vector<capture::CaptureDevice>& devices) {
        const auto device = capture::choose_traffic_device(devices);
        return device ? device->name : std::string("none");
    };
    EXPECT_EQ(choose({}), "none");
    EXPECT_EQ(choose({described("a", "VMware Network Adapter", {home.v4()})}), "none");
    EXPECT_EQ(choose({described("a", "Hyper-V Virtual Ethernet", {home.v4()}),
                      described("b", std::nullopt, {home.v4()})}),
              "b");
    EXPECT_EQ(choose({described("a", "TAP-Windows Adapter", {home.v4()}), described("b", "Wi-Fi", {server.v4()})}),
              "b");
    EXPECT_EQ(choose({described("a", "Intel", {ip("172.20.0.1")})}), "none") << "172.20.0.1 is in 172.16/12";
    EXPECT_EQ(choose({described("a", "Intel", {ip("127.0.0.1"), ip("169.254.0.1"), ip("0.0.0.0")}),
                      described("b", "Realtek", {office.v4()})}),
              "b");
    EXPECT_EQ(choose({described("a", "Intel", {ip("172.16.0.1"), ip("172.32.0.1")})}), "a")
        << "172.32.0.1 is not private";
}

}  // namespace

TEST(AttrCycle, DeadlinesKeepTheirGridAndASleepingHostStartsItAgain) {
    using namespace std::chrono_literals;
    const auto start = ReportCycle::Clock::time_point{} + 100s;
    ReportCycle cycle(1000ms, start);
    EXPECT_EQ(cycle.next_deadline(), start + 1s);
    // Woken 150 ms late and 200 ms busy: the next deadline is still on the grid.
    cycle.drained(start + 1350ms);
    EXPECT_EQ(cycle.next_deadline(), start + 2s);
    cycle.drained(start + 2s);
    EXPECT_EQ(cycle.next_deadline(), start + 3s);
    // A host asleep for 5 s: a fresh grid rather than four cycles at once.
    cycle.drained(start + 7500ms);
    EXPECT_EQ(cycle.next_deadline(), start + 8500ms);
}
