#include "engines/path_route.hpp"

#include <utility>

namespace tarnvale::engines {

bool PathRoute::due(std::uint64_t network_generation) const {
    const std::lock_guard lock(lock_);
    return suspected_ || network_generation != looked_at_;
}

void PathRoute::suspect(std::error_code send_error) {
    if (is_route_error(send_error)) {
        const std::lock_guard lock(lock_);
        suspected_ = true;
    }
}

PathRoute::Change PathRoute::update(std::uint64_t network_generation, std::optional<packets::IpAddress> source) {
    const std::lock_guard lock(lock_);
    looked_at_ = network_generation;
    suspected_ = false;
    const std::optional<packets::IpAddress> before = std::exchange(source_, source);
    if (before == source) {
        return Change::none;
    }
    ++changes_;
    if (!source) {
        return Change::lost;
    }
    return before ? Change::moved : Change::restored;
}

std::optional<packets::IpAddress> PathRoute::source() const {
    const std::lock_guard lock(lock_);
    return source_;
}

std::uint64_t PathRoute::changes() const {
    const std::lock_guard lock(lock_);
    return changes_;
}

bool is_route_error(std::error_code error) {
    return error == std::errc::network_unreachable || error == std::errc::host_unreachable ||
           error == std::errc::network_down || error == std::errc::address_not_available;
}

}  // namespace tarnvale::engines
