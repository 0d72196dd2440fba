#include "simulated_path.hpp"

#include <algorithm>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "answer_packets.hpp"
#include "packets/ipv4.hpp"
#include "packets/ipv6.hpp"
#include "packets/views.hpp"

namespace tarnvale::sim {

namespace {

using Clock = SimulatedPath::Clock;

Clock::duration milliseconds(double ms) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
}

double seconds_of(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

}  // namespace

SimulatedPath::SimulatedPath(packets::IpAddress client, std::vector<SimulatedHop> hops,
                             std::chrono::milliseconds run_time, std::uint64_t seed, double unix_start)
    : client_(client),
      start_(Clock::time_point{} + std::chrono::hours(1)),
      unix_start_(unix_start),
      now_(start_),
      end_(start_ + run_time),
      random_(seed) {
    routes_.emplace_back(start_, Branches{std::move(hops)});
}

std::uint64_t SimulatedPath::unix_seconds() const {
    return static_cast<std::uint64_t>(unix_start_ + seconds_of(now_ - start_));
}

void SimulatedPath::change_route(Clock::duration after, std::vector<SimulatedHop> hops) {
    const auto at = start_ + after;
    const auto later = std::upper_bound(routes_.begin(), routes_.end(), at,
                                        [](Clock::time_point time, const auto& route) { return time < route.first; });
    routes_.emplace(later, at, Branches{std::move(hops)});
}

void SimulatedPath::add_branch(std::vector<SimulatedHop> hops) {
    balancer_seed_ = random_();
    routes_.front().second.push_back(std::move(hops));
}

void SimulatedPath::add_other_prober(const OtherProber& prober) {
    // Its asks come evenly spaced, from a moment of its first period drawn for the run.
    probers_.push_back({prober, prober.from_s + unit_draw(random_) / prober.per_s});
}

const SimulatedPath::Branches& SimulatedPath::route_at(Clock::time_point at) const {
    const auto later = std::upper_bound(routes_.begin(), routes_.end(), at,
                                        [](Clock::time_point time, const auto& route) { return time < route.first; });
    return later == routes_.begin() ? routes_.front().second : std::prev(later)->second;
}

const std::vector<SimulatedHop>& SimulatedPath::branch_for(const Branches& branches,
                                                           std::span<const std::uint8_t> datagram) const {
    if (branches.size() == 1) {
        return branches.front();
    }
    // FNV-1a over what a balancer hashes: the addresses, the protocol and the
    // first four bytes past the IP header (a UDP or TCP datagram's ports).
    std::uint64_t hash = 0xCBF29CE484222325ULL ^ balancer_seed_;
    const auto mix = [&hash](std::span<const std::uint8_t> bytes) {
        for (const std::uint8_t byte : bytes) {
            hash = (hash ^ byte) * 0x100000001B3ULL;
        }
    };
    const bool ipv6 = (datagram[0] >> 4) == 6;
    const std::size_t header = ipv6 ? packets::ipv6_header_length : packets::ipv4_header_length;
    if (datagram.size() >= header + 4) {
        mix(datagram.subspan(ipv6 ? 8 : 12, ipv6 ? 32 : 8));
        mix(datagram.subspan(ipv6 ? 6 : 9, 1));
        mix(datagram.subspan(header, 4));
    }
    // Mixed to the end, as a balancer's hash is: FNV-1a's low bits follow the
    // last byte's, so ports one apart would take the branches strictly in turn.
    hash ^= hash >> 33;
    hash *= 0xFF51AFD7ED558CCDULL;
    hash ^= hash >> 33;
    return branches[hash % branches.size()];
}

std::error_code SimulatedPath::send(std::span<const std::uint8_t> datagram, const packets::IpAddress& /*destination*/,
                                    std::uint16_t /*port*/) {
    return send_at(datagram, now_);
}

asio::awaitable<std::error_code> SimulatedPath::send_paced(std::vector<engines::Outgoing> datagrams,
                                                           std::chrono::microseconds spacing) {
    const auto started = now_;
    for (std::size_t index = 0; index < datagrams.size(); ++index) {
        const auto at = started + spacing * static_cast<long>(index);
        advance_to(at);
        if (const auto error = send_at(datagrams[index].datagram, at)) {
            co_return error;
        }
    }
    co_await wait_until(started + spacing * static_cast<long>(datagrams.size()));
    co_return std::error_code{};
}

bool SimulatedPath::without_route(Clock::time_point at) const {
    return no_route_.error && at - start_ >= no_route_.from && at - start_ < no_route_.until;
}

std::uint64_t SimulatedPath::network_changes_at(Clock::time_point at) const {
    if (!no_route_.error) {
        return 0;
    }
    return (at - start_ >= no_route_.from ? 1 : 0) + (at - start_ >= no_route_.until ? 1 : 0);
}

std::error_code SimulatedPath::send_at(std::span<const std::uint8_t> datagram, Clock::time_point at) {
    if (without_route(at)) {
        return std::make_error_code(std::errc::network_unreachable);
    }
    const bool ipv6 = !datagram.empty() && (datagram[0] >> 4) == 6;
    const auto ipv4_probe = ipv6 ? std::nullopt : packets::Ipv4View::read(datagram);
    const auto ipv6_probe = ipv6 ? packets::Ipv6View::read(datagram) : std::nullopt;
    const std::uint8_t ttl = ipv4_probe ? ipv4_probe->ttl() : ipv6_probe ? ipv6_probe->hop_limit() : 0;
    const auto& hops = branch_for(route_at(at), datagram);
    if (ttl == 0 || hops.empty()) {
        return std::make_error_code(std::errc::invalid_argument);
    }
    if (refused_share_ > 0 && unit_draw(random_) < refused_share_) {
        return refusal_;
    }
    ++probes_by_ttl_[ttl];
    others_ask_until(at);
    const std::size_t reached = std::min<std::size_t>(ttl, hops.size()) - 1;
    const auto passed = reach(hops, reached, at, datagram.size());
    if (!passed) {
        return {};
    }
    const SimulatedHop& hop = hops[reached];
    const bool at_target = reached + 1 == hops.size();
    const auto syn = at_target ? read_tcp_syn(datagram) : std::nullopt;
    if (syn && hop.tcp == TcpAnswer::silent) {
        return {};
    }
    // The target's kernel answers a SYN itself; ICMP errors take the node's slow path and limits.
    if (!syn && hop.answers) {
        const auto kind = at_target ? AnswerKind::unreachable : AnswerKind::time_exceeded;
        if (!hop.answers->answers(kind, seconds_since_start(at + hop.round_trip / 2), random_)) {
            return {};
        }
    }
    const auto wait = answer_wait(hops, reached, at, !syn);
    if (!wait) {
        return {};
    }
    auto answer = syn ? tcp_answer(*syn, hop.tcp == TcpAnswer::open)
                      : icmp_error_answer(hop.address, client_, at_target, datagram);
    answers_.emplace(*passed + *wait, std::move(answer));
    return {};
}

double SimulatedPath::seconds_since_start(Clock::time_point at) const { return seconds_of(at - start_); }

std::optional<Clock::time_point> SimulatedPath::reach(const std::vector<SimulatedHop>& hops, std::size_t reached,
                                                      Clock::time_point at, std::size_t bytes) {
    auto passed = at;
    for (std::size_t index = 0; index <= reached; ++index) {
        const SimulatedHop& hop = hops[index];
        if (hop.link && hop.link->drops_outward(seconds_since_start(at + hop.round_trip / 2), random_)) {
            return std::nullopt;
        }
        // A slow link sends it when it has sent what it held.
        if (hop.link_mbps && bytes > 0) {
            auto& free = link_free_[hop.address];
            free = std::max(free, passed) + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                                static_cast<double>(bytes) * 8.0 / (*hop.link_mbps * 1e6)));
            passed = free;
        }
    }
    return passed;
}

std::optional<Clock::duration> SimulatedPath::answer_wait(const std::vector<SimulatedHop>& hops, std::size_t reached,
                                                          Clock::time_point at, bool own_answer) {
    const SimulatedHop& hop = hops[reached];
    for (std::size_t index = 0; index <= reached; ++index) {
        const auto& back = hops[index];
        if (back.link &&
            back.link->drops_return(seconds_since_start(at + hop.round_trip - back.round_trip / 2), random_)) {
            return std::nullopt;
        }
    }
    const double seconds = seconds_since_start(at);
    double added_ms = hop.jitter_ms > 0 ? hop.jitter_ms * unit_draw(random_) : 0.0;
    for (std::size_t index = 0; index <= reached; ++index) {
        if (hops[index].link) {
            added_ms += hops[index].link->queue_delay_ms(seconds, random_);
        }
    }
    if (own_answer && hop.answers) {
        added_ms += hop.answers->hold_ms(seconds, random_);
    }
    return hop.round_trip + milliseconds(added_ms);
}

void SimulatedPath::others_ask_until(Clock::time_point at) {
    const double seconds = seconds_since_start(at);
    for (ProberState& state : probers_) {
        const OtherProber& prober = state.prober;
        for (; state.next_s <= seconds && state.next_s < prober.until_s; state.next_s += 1.0 / prober.per_s) {
            // Its asks are taken to follow the first branch of a balanced route.
            const auto& hops = route_at(start_ + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(state.next_s)))
                                   .front();
            for (std::size_t index = 0; index < hops.size(); ++index) {
                const SimulatedHop& hop = hops[index];
                const bool asked =
                    prober.to.empty() || std::find(prober.to.begin(), prober.to.end(), hop.address) != prober.to.end();
                if (!asked || !hop.answers) {
                    continue;
                }
                const bool at_target = index + 1 == hops.size();
                for (const AnswerKind kind : {AnswerKind::time_exceeded, AnswerKind::unreachable, AnswerKind::echo}) {
                    if (prober.kinds.has(kind)) {
                        // A probe that expires at a router draws Port Unreachable from the target.
                        const auto asked_for =
                            at_target && kind == AnswerKind::time_exceeded ? AnswerKind::unreachable : kind;
                        hop.answers->answers(asked_for, state.next_s, random_);
                    }
                }
            }
        }
    }
}

std::optional<SimulatedPath::Clock::duration> SimulatedPath::echo_round_trip(const packets::IpAddress& router,
                                                                             Clock::time_point at) {
    // An echo request goes to the router's own address: along a branch that has it.
    const auto& branches = route_at(at);
    const auto has_router = [router](const std::vector<SimulatedHop>& branch) {
        return std::any_of(branch.begin(), branch.end(),
                           [router](const SimulatedHop& each) { return each.address == router; });
    };
    const auto branch = std::find_if(branches.begin(), branches.end(), has_router);
    if (branch == branches.end()) {
        return std::nullopt;
    }
    const auto& hops = *branch;
    const auto hop =
        std::find_if(hops.begin(), hops.end(), [router](const SimulatedHop& each) { return each.address == router; });
    others_ask_until(at);
    const auto reached = static_cast<std::size_t>(hop - hops.begin());
    if (without_route(at) || !reach(hops, reached, at, 0)) {
        return std::nullopt;
    }
    if (hop->answers &&
        !hop->answers->answers(AnswerKind::echo, seconds_since_start(at + hop->round_trip / 2), random_)) {
        return std::nullopt;
    }
    return answer_wait(hops, reached, at, true);
}

asio::awaitable<void> SimulatedPath::wait_until(Clock::time_point until) {
    if (until > end_) {
        throw asio::system_error(asio::error::operation_aborted);
    }
    advance_to(until);
    // Lets the tasks that read the loop's queues run, as a real wait would.
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
}

void SimulatedPath::advance_to(Clock::time_point until) {
    while (!answers_.empty() && answers_.begin()->first <= until) {
        const auto due = answers_.extract(answers_.begin());
        now_ = std::max(now_, due.key());
        if (deliver_ && !without_route(now_)) {
            deliver_(due.mapped(), now_);
        }
    }
    now_ = std::max(now_, until);
    if (tick_) {
        tick_(now_);
    }
}

}  // namespace tarnvale::sim
