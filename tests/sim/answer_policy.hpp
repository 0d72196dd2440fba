#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "sim_random.hpp"
#include "simulated_link.hpp"
#include "timeline.hpp"
#include "token_bucket.hpp"

namespace tarnvale::sim {

// What a node is asked to answer with.
enum class AnswerKind : std::uint8_t { time_exceeded = 1, unreachable = 2, echo = 4 };

// A set of answer kinds.
class AnswerKinds {
public:
    constexpr AnswerKinds() = default;
    constexpr AnswerKinds(std::initializer_list<AnswerKind> kinds) {
        for (const AnswerKind kind : kinds) {
            add(kind);
        }
    }
    constexpr void add(AnswerKind kind) { bits_ = static_cast<std::uint8_t>(bits_ | static_cast<std::uint8_t>(kind)); }
    constexpr bool has(AnswerKind kind) const { return (bits_ & static_cast<std::uint8_t>(kind)) != 0; }
    constexpr bool empty() const { return bits_ == 0; }
    constexpr bool operator==(const AnswerKinds&) const = default;

private:
    std::uint8_t bits_ = 0;
};

// A rate limit on a node's answers, as routers and hosts put on the ones their
// CPU sends.
struct LimitRule {
    double per_s = 1.0;
    double burst = 1.0;
    // A global bucket is spent by everyone the node answers; a per-destination
    // one only by what this host asks (the simulated path has one host).
    bool global = false;
    AnswerKinds applies_to{AnswerKind::time_exceeded, AnswerKind::unreachable};
    double others_per_s = 0;  // what the rest of the Internet asks of a global bucket, at random times
    bool operator==(const LimitRule&) const = default;
};

// A limit's bucket, spent by this host's asks and, for a global one, by the
// rest of the Internet's, which come as a Poisson process.
class AnswerLimit {
public:
    explicit AnswerLimit(const LimitRule& rule) : rule_(rule), bucket_(rule.per_s, rule.burst) {}

    // Whether an answer of this kind at `seconds` is within the limit, spending it if so.
    bool allows(AnswerKind kind, double seconds, Random& random);

private:
    // Spends the tokens the rest of the Internet asked for before `seconds`.
    void others_until(double seconds, Random& random);

    LimitRule rule_;
    TokenBucket bucket_;
    std::optional<double> next_other_s_;
};

// How a node answers for a while.
struct AnswerBehaviour {
    double share = 1.0;       // of Time Exceeded and Port Unreachable answers sent; the rest declined at random
    double echo_share = 1.0;  // of echo replies
    bool silent = false;      // answers nothing, forwards everything
    std::vector<AnswerLimit> limits = {};                             // all apply
    std::optional<std::pair<double, double>> hold_ms = std::nullopt;  // each answer waits uniformly this long (lo, hi)
    // A link whose standing queue its answers also wait, as a router whose CPU
    // is busy while the link it feeds is full.
    std::shared_ptr<const SimulatedLink> slow_with_queue = nullptr;
};

// How a node answers over the run: behaviours that each hold from their start;
// before the first it answers everything at once.
class AnswerPolicy {
public:
    explicit AnswerPolicy(Steps<AnswerBehaviour> behaviours) : behaviours_(std::move(behaviours)) {}

    // Whether it answers at `seconds`; an answer sent spends its limits.
    bool answers(AnswerKind kind, double seconds, Random& random);
    // What an answer sent at `seconds` waits on the node's slow path, in ms.
    double hold_ms(double seconds, Random& random) const;

private:
    Steps<AnswerBehaviour> behaviours_;
};

// A node that answers `share` of what reaches it, throughout.
std::shared_ptr<AnswerPolicy> answering_share(double share);

}  // namespace tarnvale::sim
