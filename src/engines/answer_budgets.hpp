#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <utility>

#include "packets/ip_address.hpp"

// What the routers on a path still have to answer with. Routers and hosts send
// their ICMP errors (Time Exceeded, Destination Unreachable) to any one address
// from a token bucket: Linux allows a burst of six and then one a second, and
// other routers as many or more. A bandwidth train of ten spends a router's
// whole burst, so a hop probe that reaches the router soon after goes
// unanswered and would count as lost though nothing on the path lost a packet.
// Every engine charges here the answers its packets ask of each responder, and
// a probe whose responder has none left waits until it has.
namespace tarnvale::engines {

// A responder as the engines know it before they know its address: the hop at
// this TTL on the way to this target.
struct Responder {
    packets::IpAddress target;
    std::uint8_t ttl;
    auto operator<=>(const Responder&) const = default;
};

// One budget per responder, shared by every engine of the process.
class AnswerBudgets {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr double burst = 6.0;
    static constexpr double per_second = 1.0;
    // Answers asked for no later than a probe still take a moment to arrive and
    // be counted; this much of a token more than one leaves room for that.
    static constexpr double timing_allowance = 0.2;

    // Charges `answers` answers asked of the responder at `now`.
    void spend(const Responder& responder, double answers, Clock::time_point now);

    // Whether the responder has an answer left for one more probe at `now`.
    bool can_answer(const Responder& responder, Clock::time_point now);

private:
    struct Bucket {
        double tokens = burst;
        Clock::time_point updated;
    };
    Bucket& refilled(const Responder& responder, Clock::time_point now);

    std::mutex lock_;
    std::map<Responder, Bucket> buckets_;  // guarded by lock_; one per TTL of the paths in use
};

}  // namespace tarnvale::engines
