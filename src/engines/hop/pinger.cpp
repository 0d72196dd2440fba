#include "engines/hop/pinger.hpp"

#include <algorithm>
#include <chrono>

#include "log/log.hpp"
#include "engines/hop/echo_packet.hpp"
#include "platform/process.hpp"
#include "platform/raw_sockets.hpp"

namespace tarnvale::engines::hop {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

float elapsed_ms(Clock::time_point since) {
    return std::chrono::duration<float, std::milli>(Clock::now() - since).count();
}

// Waits for the echo reply to one request. Other datagrams (replies to other
// requests, late replies) are passed over rather than ending the wait.
bool await_echo_reply(const platform::Socket& socket, std::uint16_t identifier, std::uint16_t sequence,
                      packets::IpAddress router, Clock::time_point deadline) {
    std::array<std::uint8_t, 128> buffer{};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms) {
            return false;
        }
        std::error_code error;
        const auto received = platform::receive_datagram(socket, buffer, left, error);
        if (error) {
            return false;
        }
        if (received && is_echo_reply(std::span(buffer).first(received->size), received->source, identifier,
                                      sequence, router)) {
            return true;
        }
    }
}

}  // namespace

std::vector<HopSighting> PingChoice::take_new(SightingQueue& sightings) {
    std::vector<HopSighting> chosen;
    while (const auto sighting = sightings.try_pop()) {
        if (note(*sighting)) {
            chosen.push_back(*sighting);
        }
    }
    return chosen;
}

std::vector<HopSighting> PingChoice::take_waited(const HopSighting& sighting) {
    return note(sighting) ? std::vector<HopSighting>{sighting} : std::vector<HopSighting>{};
}

bool PingChoice::note(const HopSighting& sighting) {
    forget_replaced(sighting);
    const auto [known, added] = known_hops_.emplace(sighting.addr, sighting.ttl);
    if (added) {
        return true;
    }
    if (sighting.replaces) {
        known->second = sighting.ttl;
    } else {
        // The target answers every probe that reaches it, so it is sighted at
        // each TTL from its own out to the longest probed: its own is the lowest.
        known->second = std::min(known->second, sighting.ttl);
    }
    return false;
}

std::vector<HopSighting> PingChoice::every_known() const {
    std::vector<HopSighting> chosen;
    for (const auto& [addr, ttl] : known_hops_) {
        chosen.push_back({ttl, addr});
    }
    return chosen;
}

void PingChoice::forget_replaced(const HopSighting& sighting) {
    if (!sighting.replaces) {
        return;
    }
    // Known at another TTL, the replaced router is still on the path there.
    const auto replaced = known_hops_.find(*sighting.replaces);
    if (replaced != known_hops_.end() && replaced->second == sighting.ttl) {
        known_hops_.erase(replaced);
    }
}

void run_pinger(PingerShared shared) {
    std::error_code error;
    const platform::Socket socket = shared.ipv6 ? platform::open_raw_icmpv6(error) : platform::open_raw_icmp(error);
    if (error) {
        log::error(log::target::hop, "pinger: failed to create ICMP socket", {{"err", error.message()}});
        return;
    }
    platform::receive_only_echo_replies(socket, shared.ipv6);
    const auto identifier = static_cast<std::uint16_t>((platform::current_process_id() + 1) & 0xFFFF);
    std::uint16_t sequence = 0;
    PingChoice choice;

    auto next_round = Clock::now();
    while (!shared.stop->raised()) {
        auto targets = choice.take_new(*shared.sightings);
        if (targets.empty()) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next_round - Clock::now());
            if (const auto sighting = shared.sightings->pop_for(std::max(wait, 0ms))) {
                targets = choice.take_waited(*sighting);
            } else {
                // Once the receiver and the engine are gone the wait ends at
                // once: the rounds keep their pace all the same.
                shared.stop->sleep_for(next_round - Clock::now());
                targets = choice.every_known();
                next_round = Clock::now() + ping_round_interval;
            }
        }
        for (const HopSighting& target : targets) {
            if (shared.stop->raised()) {
                return;
            }
            const std::uint64_t route_changes = shared.route->changes();
            const std::optional<packets::IpAddress> source = shared.route->source();
            if (!source) {
                break;  // no route: the next wait passes the time
            }
            ++sequence;
            const auto request = build_echo_request(identifier, sequence, *source, target.addr);
            const auto sent_at = Clock::now();
            if (const auto send_error = platform::send_datagram(socket, request, target.addr, 0)) {
                shared.send_failures->record(unsent_echo_requests, send_error);
                shared.stop->sleep_for(pause_between_targets);
                continue;
            }
            const bool answered =
                await_echo_reply(socket, identifier, sequence, target.addr, sent_at + echo_reply_timeout);
            if (shared.route->changes() != route_changes) {
                continue;  // sent over a route that is gone: its outcome says nothing of the path
            }
            if (answered) {
                const float round_trip = elapsed_ms(sent_at);
                shared.table->record_rtt(target.ttl, round_trip);
                shared.delays->record(target.ttl, Clock::now(), round_trip);
            }
            shared.table->record_echo_outcome(target.ttl, answered);
            shared.stop->sleep_for(pause_between_targets);
        }
    }
}

}  // namespace tarnvale::engines::hop
