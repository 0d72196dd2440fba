#pragma once

namespace tarnvale::sim {

// A token bucket in simulated seconds: `burst` tokens at most, refilled at
// `per_s` a second, one spent on each thing it allows. It starts full.
class TokenBucket {
public:
    TokenBucket(double per_s, double burst) : per_s_(per_s), burst_(burst), tokens_(burst) {}

    // Spends a token at `seconds` if there is one. A time earlier than one
    // already seen refills nothing.
    bool take(double seconds);

private:
    double per_s_;
    double burst_;
    double tokens_;
    double updated_s_ = 0;
};

}  // namespace tarnvale::sim
