#include "engines/bandwidth/target_distance.hpp"

namespace tarnvale::engines::bandwidth {

void TargetDistance::answered(std::uint8_t hop, bool by_target) {
    const std::lock_guard lock(lock_);
    if (hop < from_target_.size()) {
        from_target_[hop] = by_target;
    }
}

std::optional<std::uint8_t> TargetDistance::distance() const {
    const std::lock_guard lock(lock_);
    for (std::size_t hop = 1; hop < from_target_.size(); ++hop) {
        if (from_target_[hop]) {
            return static_cast<std::uint8_t>(hop);
        }
    }
    return std::nullopt;
}

}  // namespace tarnvale::engines::bandwidth
