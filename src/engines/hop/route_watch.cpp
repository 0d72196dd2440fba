#include "engines/hop/route_watch.hpp"

#include <algorithm>
#include <iterator>

namespace tarnvale::engines::hop {

std::optional<RouteChange> RouteWatch::observe(std::uint8_t ttl, packets::IpAddress source) {
    const auto [entry, first] = routes_.try_emplace(ttl, TtlRoute{source});
    TtlRoute& route = entry->second;
    route.answers.push(source);
    if (first || source == route.confirmed || route.answers.size() < change_run_length) {
        return std::nullopt;
    }
    const auto run_begin = std::prev(route.answers.end(), static_cast<std::ptrdiff_t>(change_run_length));
    if (!std::all_of(run_begin, route.answers.end(), [&](const auto& addr) { return addr == source; })) {
        return std::nullopt;
    }
    const bool new_router = std::find(route.answers.begin(), run_begin, source) == run_begin;
    // A route that flaps back to an address it had a little earlier: the
    // confirmed router has not answered for the whole look-back since.
    const bool old_router_gone = route.answers.size() == route.answers.capacity() &&
                                 std::find(route.answers.begin(), run_begin, route.confirmed) == run_begin;
    if (!new_router && !old_router_gone) {
        return std::nullopt;
    }
    const RouteChange change{ttl, route.confirmed, source};
    route.confirmed = source;
    return change;
}

std::optional<packets::IpAddress> RouteWatch::router(std::uint8_t ttl) const {
    const auto found = routes_.find(ttl);
    return found == routes_.end() ? std::nullopt : std::optional(found->second.confirmed);
}

std::optional<packets::IpAddress> RouteWatch::challenger(std::uint8_t ttl) const {
    const auto found = routes_.find(ttl);
    if (found == routes_.end() || found->second.answers.empty() ||
        found->second.answers.back() == found->second.confirmed) {
        return std::nullopt;
    }
    return found->second.answers.back();
}

}  // namespace tarnvale::engines::hop
