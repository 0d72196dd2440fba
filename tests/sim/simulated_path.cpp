#include "simulated_path.hpp"

#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <algorithm>

#include "packets/ipv6.hpp"
#include "packets/views.hpp"

namespace tarnvale::sim {

namespace {

constexpr std::uint8_t port_unreachable = 3;
constexpr std::uint8_t port_unreachable_v6 = 4;
// What a router quotes of the datagram it answers: its header and 8 bytes.
constexpr std::size_t quoted_bytes = 28;

// ICMP's answer from a router or the target: Time Exceeded, or Port Unreachable
// from the target.
std::vector<std::uint8_t> ipv4_answer(const packets::IpAddress& from, const packets::IpAddress& to, bool at_target,
                                      std::span<const std::uint8_t> probe) {
    const std::size_t quoted = std::min(probe.size(), quoted_bytes);
    std::vector<std::uint8_t> answer(20 + 8 + quoted, 0);
    packets::write_ipv4_header(std::span(answer).first<20>(), {static_cast<std::uint16_t>(answer.size()), 0, 0, 64,
                                                               packets::protocol_icmp, from.v4(), to.v4()});
    answer[20] = at_target ? packets::icmp_destination_unreachable : packets::icmp_time_exceeded;
    answer[21] = at_target ? port_unreachable : 0;
    std::copy_n(probe.begin(), quoted, answer.begin() + 28);
    return answer;
}

// ICMPv6's, which quotes the whole probe.
std::vector<std::uint8_t> ipv6_answer(const packets::IpAddress& from, const packets::IpAddress& to, bool at_target,
                                      std::span<const std::uint8_t> probe) {
    std::vector<std::uint8_t> answer(packets::ipv6_header_length + 8 + probe.size(), 0);
    packets::write_ipv6_header(
        std::span(answer).first<packets::ipv6_header_length>(),
        {static_cast<std::uint16_t>(8 + probe.size()), packets::protocol_icmpv6, 64, from, to});
    answer[40] = at_target ? packets::icmpv6_destination_unreachable : packets::icmpv6_time_exceeded;
    answer[41] = at_target ? port_unreachable_v6 : 0;
    std::copy(probe.begin(), probe.end(), answer.begin() + 48);
    return answer;
}

}  // namespace

SimulatedPath::SimulatedPath(packets::IpAddress client, std::vector<SimulatedHop> hops,
                             std::chrono::milliseconds run_time, std::uint64_t seed, double unix_start)
    : client_(client),
      hops_(std::move(hops)),
      start_(Clock::time_point{} + std::chrono::hours(1)),
      unix_start_(unix_start),
      now_(start_),
      end_(start_ + run_time),
      random_(seed) {}

std::uint64_t SimulatedPath::unix_seconds() const {
    return static_cast<std::uint64_t>(unix_start_ + std::chrono::duration<double>(now_ - start_).count());
}

void SimulatedPath::change_route(std::chrono::seconds after, std::vector<SimulatedHop> hops) {
    change_at_ = start_ + after;
    changed_hops_ = std::move(hops);
}

const std::vector<SimulatedHop>& SimulatedPath::route() const {
    return now_ >= change_at_ ? changed_hops_ : hops_;
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

std::error_code SimulatedPath::send_at(std::span<const std::uint8_t> datagram, Clock::time_point at) {
    const bool ipv6 = !datagram.empty() && (datagram[0] >> 4) == 6;
    const auto ipv4_probe = ipv6 ? std::nullopt : packets::Ipv4View::read(datagram);
    const auto ipv6_probe = ipv6 ? packets::Ipv6View::read(datagram) : std::nullopt;
    const std::uint8_t ttl = ipv4_probe ? ipv4_probe->ttl() : ipv6_probe ? ipv6_probe->hop_limit() : 0;
    const auto& hops = route();
    if (ttl == 0 || hops.empty()) {
        return std::make_error_code(std::errc::invalid_argument);
    }
    if (refused_share_ > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < refused_share_) {
        return refusal_;
    }
    ++probes_by_ttl_[ttl];
    const std::size_t reached = std::min<std::size_t>(ttl, hops.size()) - 1;
    // Each link on the way may drop the datagram; each slow one sends it when it has sent what it held.
    const double seconds = seconds_since_start(at);
    auto passed = at;
    for (std::size_t index = 0; index <= reached; ++index) {
        if (link_drops(hops[index], seconds)) {
            return {};
        }
        if (const auto rate = hops[index].link_mbps) {
            auto& free = link_free_[index];
            free = std::max(free, passed) + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                                static_cast<double>(datagram.size()) * 8.0 / (*rate * 1e6)));
            passed = free;
        }
    }
    const SimulatedHop& hop = hops[reached];
    if (!answers(hop)) {
        return {};
    }
    const bool at_target = reached + 1 == hops.size();
    auto answer = ipv6 ? ipv6_answer(hop.address, client_, at_target, datagram)
                       : ipv4_answer(hop.address, client_, at_target, datagram);
    answers_.emplace(passed + answer_delay(hop, seconds), std::move(answer));
    return {};
}

double SimulatedPath::seconds_since_start(Clock::time_point at) const {
    return std::chrono::duration<double>(at - start_).count();
}

bool SimulatedPath::link_drops(const SimulatedHop& hop, double seconds) {
    return hop.link_loss && std::uniform_real_distribution<double>(0.0, 1.0)(random_) < hop.link_loss(seconds);
}

bool SimulatedPath::answers(const SimulatedHop& hop) {
    return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < hop.answered_share;
}

SimulatedPath::Clock::duration SimulatedPath::answer_delay(const SimulatedHop& hop, double seconds) {
    const double added_ms = hop.added_delay_ms ? hop.added_delay_ms(seconds, random_) : 0.0;
    return hop.round_trip +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(added_ms));
}

std::optional<SimulatedPath::Clock::duration> SimulatedPath::echo_round_trip(const packets::IpAddress& router,
                                                                             Clock::time_point at) {
    const auto& hops = route();
    const auto hop = std::find_if(hops.begin(), hops.end(), [router](const SimulatedHop& each) {
        return each.address == router;
    });
    if (hop == hops.end()) {
        return std::nullopt;
    }
    const double seconds = seconds_since_start(at);
    if (std::any_of(hops.begin(), hop + 1, [&](const SimulatedHop& on_way) { return link_drops(on_way, seconds); }) ||
        !answers(*hop)) {
        return std::nullopt;
    }
    return answer_delay(*hop, seconds);
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
        if (deliver_) {
            deliver_(due.mapped(), now_);
        }
    }
    now_ = std::max(now_, until);
    if (tick_) {
        tick_(now_);
    }
}

}  // namespace tarnvale::sim
