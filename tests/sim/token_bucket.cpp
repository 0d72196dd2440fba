#include "token_bucket.hpp"

#include <algorithm>

namespace tarnvale::sim {

bool TokenBucket::take(double seconds) {
    if (seconds > updated_s_) {
        tokens_ = std::min(burst_, tokens_ + (seconds - updated_s_) * per_s_);
        updated_s_ = seconds;
    }
    if (tokens_ < 1.0) {
        return false;
    }
    tokens_ -= 1.0;
    return true;
}

}  // namespace tarnvale::sim
