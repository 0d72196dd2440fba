#include "engines/hop/pinger.hpp"

#include <chrono>
#include <map>
#include <vector>

#include "log/log.hpp"
#include "engines/hop/echo_packet.hpp"
#include "platform/process.hpp"
#include "platform/raw_sockets.hpp"

namespace tarnvale::engines::hop {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto reply_timeout = 500ms;
constexpr auto pause_between_targets = 50ms;
constexpr auto sighting_wait = 2000ms;

float elapsed_ms(Clock::time_point since) {
    return std::chrono::duration<float, std::milli>(Clock::now() - since).count();
}

// Waits for the echo reply to one request. Other datagrams (replies to other
// requests, late replies) are passed over rather than ending the wait.
bool await_echo_reply(const platform::Socket& socket, std::uint16_t identifier, std::uint16_t sequence,
                      packets::Ipv4 router, Clock::time_point deadline) {
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

void run_pinger(PingerShared shared) {
    std::error_code error;
    const platform::Socket socket = platform::open_raw_icmp(error);
    if (error) {
        log::error(log::target::hop, "pinger: failed to create ICMP socket", {{"err", error.message()}});
        return;
    }
    platform::receive_only_echo_replies(socket);
    const auto identifier = static_cast<std::uint16_t>((platform::current_process_id() + 1) & 0xFFFF);
    std::uint16_t sequence = 0;
    std::map<packets::Ipv4, std::uint8_t> known_hops;
    std::vector<HopSighting> targets;

    while (!shared.stop->raised()) {
        while (const auto sighting = shared.sightings->try_pop()) {
            if (known_hops.emplace(sighting->addr, sighting->ttl).second) {
                targets.push_back(*sighting);
            }
        }
        if (targets.empty()) {
            if (const auto sighting = shared.sightings->pop_for(sighting_wait)) {
                known_hops[sighting->addr] = sighting->ttl;
                targets.push_back(*sighting);
            } else {
                for (const auto& [addr, ttl] : known_hops) {
                    targets.push_back({ttl, addr});
                }
            }
        }
        for (const HopSighting& target : targets) {
            if (shared.stop->raised()) {
                return;
            }
            ++sequence;
            const auto request = build_echo_request(identifier, sequence);
            const auto sent_at = Clock::now();
            if (platform::send_datagram(socket, request, target.addr, 0)) {
                continue;
            }
            if (await_echo_reply(socket, identifier, sequence, target.addr, sent_at + reply_timeout)) {
                const float round_trip = elapsed_ms(sent_at);
                shared.table->record_rtt(target.ttl, round_trip);
                shared.delays->record(target.ttl, Clock::now(), round_trip);
            }
            shared.stop->sleep_for(pause_between_targets);
        }
        targets.clear();
    }
}

}  // namespace tarnvale::engines::hop
