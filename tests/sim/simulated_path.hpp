#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "answer_policy.hpp"
#include "engines/probe_network.hpp"
#include "packets/ip_address.hpp"
#include "sim_random.hpp"
#include "simulated_link.hpp"

namespace tarnvale::sim {

// What a target answers to a TCP SYN on the probed port.
enum class TcpAnswer { open, closed, silent };

// One hop of a simulated path: the router (or, last, the target) that a probe
// whose TTL runs out there reaches, with the link into it.
struct SimulatedHop {
    packets::IpAddress address;
    std::chrono::microseconds round_trip{10000};  // on the quiet path
    double jitter_ms = 0;                         // every round trip adds up to this much, uniformly
    // The link into it: loss both ways, bursts, a queue; none: a clean one.
    std::shared_ptr<SimulatedLink> link = nullptr;
    std::optional<double> link_mbps = std::nullopt;  // the rate of the link into it, when one slower than the sender's
    // How it answers; none: everything, at once.
    std::shared_ptr<AnswerPolicy> answers = nullptr;
    TcpAnswer tcp = TcpAnswer::closed;  // as the target
};

// Another tool on the host that makes nodes answer it `per_s` times a second
// each between two times, spending their limits as the probe's asks do.
struct OtherProber {
    double from_s = 0;
    double until_s = 0;
    double per_s = 1;
    std::vector<packets::IpAddress> to = {};  // empty: every hop of the route in force
    AnswerKinds kinds{AnswerKind::time_exceeded};
};

// Addresses as in the test network, for simulated paths that mirror it.
namespace test_network {
inline constexpr packets::IpAddress client{packets::Ipv4(0xC0A8010A)};  // 192.168.1.10
inline constexpr packets::IpAddress r1{packets::Ipv4(0xC0A80101)};      // 192.168.1.1
inline constexpr packets::IpAddress r2{packets::Ipv4(0xC6336402)};      // 198.51.100.2
inline constexpr packets::IpAddress r3{packets::Ipv4(0xC6336406)};      // 198.51.100.6
inline constexpr packets::IpAddress r4{packets::Ipv4(0xC633640A)};      // 198.51.100.10
inline constexpr packets::IpAddress server{packets::Ipv4(0xCB00710A)};  // 203.0.113.10

// The same over IPv6: 2001:db8:1::10, 2001:db8:1::1, 2001:db8:100:N::2, 2001:db8:113::10.
constexpr packets::IpAddress ipv6(std::uint8_t third_word_high, std::uint8_t third_word_low, std::uint8_t fourth,
                                  std::uint8_t last) {
    return packets::IpAddress::from_octets(
        {0x20, 0x01, 0x0D, 0xB8, third_word_high, third_word_low, 0, fourth, 0, 0, 0, 0, 0, 0, 0, last});
}
inline constexpr packets::IpAddress client_v6 = ipv6(0x00, 0x01, 0, 0x10);
inline constexpr packets::IpAddress r1_v6 = ipv6(0x00, 0x01, 0, 0x01);
inline constexpr packets::IpAddress r2_v6 = ipv6(0x01, 0x00, 1, 0x02);
inline constexpr packets::IpAddress r3_v6 = ipv6(0x01, 0x00, 2, 0x02);
inline constexpr packets::IpAddress server_v6 = ipv6(0x01, 0x13, 0, 0x10);
}  // namespace test_network

// 10.0.0.N for hop N (0: the client), for simulated paths of any length.
constexpr packets::IpAddress numbered_address(std::uint8_t hop) {
    return packets::IpAddress(packets::Ipv4(0x0A000000u + hop));
}

// A hop that answers every probe after 10 ms.
inline SimulatedHop hop_at(packets::IpAddress address) { return {.address = address}; }

// A chain of hops in simulated time, for an engine loop to run over in
// milliseconds: a probe sent is answered as the hop its TTL (or hop limit)
// reaches would, in the probe's family (Time Exceeded from a router, Port
// Unreachable from the target, which is the last hop; a TCP SYN that reaches
// the target gets its SYN-ACK or reset), quoting the probe, after that hop's
// round trip, the queues on its way and the hop's own slowness, and after every
// slow link on its way has sent it in turn. Each link may drop the probe on its
// way out and the answer on its way back, each crossing the link when half the
// round trip to the link's far end has passed. Time moves only when the loop
// waits or paces its sends, and every answer due by then is handed over at its
// arrival.
// The run ends, with the loop's wait throwing as a cancelled task's does, once
// a wait would pass `end`.
class SimulatedPath final : public engines::ProbeNetwork {
public:
    using Deliver = std::function<void(std::span<const std::uint8_t> datagram, Clock::time_point arrival)>;
    using Tick = std::function<void(Clock::time_point now)>;

    // The wall clock starts at `unix_start` seconds since 1970.
    SimulatedPath(packets::IpAddress client, std::vector<SimulatedHop> hops, std::chrono::milliseconds run_time,
                  std::uint64_t seed, double unix_start = 1.8e9);

    void on_answer(Deliver deliver) { deliver_ = std::move(deliver); }
    // Called each time the clock has moved, after the answers due were handed
    // over: for what runs beside the loop, as the hop engine's pinger does.
    void on_tick(Tick tick) { tick_ = std::move(tick); }
    // A local firewall: from now on the system refuses this share of the
    // datagrams sent, with `error`, before they reach the path.
    void refuse_sends(double share, std::error_code error) {
        refused_share_ = share;
        refusal_ = error;
    }
    // The host has no route toward the path from `from` until `until` after
    // the start (for the whole run by default): the source lookup fails with
    // `error`, sends with ENETUNREACH, and whatever was on its way is lost.
    void lose_route(std::error_code error, Clock::duration from = {}, Clock::duration until = Clock::duration::max()) {
        no_route_ = {error, from, until};
    }
    // How many times the host's routes have changed by now (the start and end
    // of the outage), as the host's network watch would count them.
    std::uint64_t network_changes() const { return network_changes_at(now_); }
    std::uint64_t network_changes_at(Clock::time_point at) const;
    const packets::IpAddress& client() const { return client_; }
    // Probes sent from `after` on take the new route, until a later change.
    void change_route(Clock::duration after, std::vector<SimulatedHop> hops);
    // From the start, routers balance flows over this route too, as per-flow
    // load balancing does: each datagram takes one of the routes by a hash of
    // its addresses, protocol and ports, so a flow keeps to one route. Hops the
    // routes share are given as the same hops (the same link and answer
    // policy objects, and the same address).
    void add_branch(std::vector<SimulatedHop> hops);
    void add_other_prober(const OtherProber& prober);

    Clock::time_point start() const { return start_; }
    Clock::time_point now() const override { return now_; }
    std::uint64_t unix_seconds() const override;
    packets::IpAddress source_for(const packets::IpAddress& /*destination*/, std::error_code& error) const override {
        error = without_route(now_) ? no_route_.error : std::error_code{};
        return client_;
    }
    std::error_code send(std::span<const std::uint8_t> datagram, const packets::IpAddress& destination,
                         std::uint16_t port) override;
    asio::awaitable<std::error_code> send_paced(std::vector<engines::Outgoing> datagrams,
                                                std::chrono::microseconds spacing) override;
    asio::awaitable<void> wait_until(Clock::time_point until) override;

    // The round trip of an echo request sent to `router` at `at`, or nothing
    // when it or its reply is lost, the router declines, or no hop of the
    // route in force has that address.
    std::optional<Clock::duration> echo_round_trip(const packets::IpAddress& router, Clock::time_point at);

    // Probes sent onto the path (not refused), by TTL.
    const std::map<std::uint8_t, unsigned>& probes_by_ttl() const { return probes_by_ttl_; }

private:
    struct ProberState {
        OtherProber prober;
        double next_s;
    };

    using Branches = std::vector<std::vector<SimulatedHop>>;
    const Branches& route_at(Clock::time_point at) const;
    // The branch a datagram's flow takes.
    const std::vector<SimulatedHop>& branch_for(const Branches& branches, std::span<const std::uint8_t> datagram) const;
    std::error_code send_at(std::span<const std::uint8_t> datagram, Clock::time_point at);
    double seconds_since_start(Clock::time_point at) const;
    // When a packet of `bytes` sent at `at` reaches hop `reached`, or nothing
    // when a link drops it; a packet of no bytes takes no time on a slow link.
    std::optional<Clock::time_point> reach(const std::vector<SimulatedHop>& hops, std::size_t reached,
                                           Clock::time_point at, std::size_t bytes);
    // The wait from `at` for the answer of hop `reached` to a packet sent then,
    // or nothing when it is lost on the way back. The hop's slow path is taken
    // by the answers it chooses to send (`own_answer`).
    std::optional<Clock::duration> answer_wait(const std::vector<SimulatedHop>& hops, std::size_t reached,
                                               Clock::time_point at, bool own_answer);
    // Spends what the other probers on the host asked of the hops before `at`.
    void others_ask_until(Clock::time_point at);
    // Hands over every answer due by `until`, and sets the clock to it.
    void advance_to(Clock::time_point until);

    packets::IpAddress client_;
    Clock::time_point start_;
    double unix_start_;
    Clock::time_point now_;
    Clock::time_point end_;
    std::vector<std::pair<Clock::time_point, Branches>> routes_;  // in time order
    std::uint64_t balancer_seed_ = 0;                             // drawn when a branch is added
    std::vector<ProberState> probers_;
    Random random_;
    std::multimap<Clock::time_point, std::vector<std::uint8_t>> answers_;
    std::map<std::uint8_t, unsigned> probes_by_ttl_;  // sent onto the path
    double refused_share_ = 0;
    std::error_code refusal_;
    struct Outage {
        std::error_code error;
        Clock::duration from{};
        Clock::duration until{};
    };
    bool without_route(Clock::time_point at) const;

    Outage no_route_;
    std::map<packets::IpAddress, Clock::time_point> link_free_;  // by hop: when its link has sent all it holds
    Deliver deliver_;
    Tick tick_;
};

}  // namespace tarnvale::sim
