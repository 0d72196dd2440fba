#include "engines/hop/hop_table.hpp"

namespace tarnvale::engines::hop {

bool HopTable::record_answer(std::uint8_t ttl, packets::IpAddress source) {
    const std::lock_guard lock(lock_);
    if (ttl >= hops_.size()) {
        return false;
    }
    hops_[ttl].outcomes.push(true);
    ++hops_[ttl].outcomes_total;
    hops_[ttl].addr = source;
    return true;
}

void HopTable::record_unanswered(std::uint8_t ttl) {
    const std::lock_guard lock(lock_);
    if (ttl < hops_.size()) {
        hops_[ttl].outcomes.push(false);
        ++hops_[ttl].outcomes_total;
        ++hops_[ttl].lost_total;
    }
}

void HopTable::record_sent(std::uint8_t ttl) {
    const std::lock_guard lock(lock_);
    if (ttl < hops_.size()) {
        ++hops_[ttl].sent_total;
    }
}

void HopTable::record_unsent(std::uint8_t ttl) {
    const std::lock_guard lock(lock_);
    if (ttl < hops_.size()) {
        ++hops_[ttl].unsent_total;
    }
}

void HopTable::record_rtt(std::uint8_t ttl, float milliseconds) {
    const std::lock_guard lock(lock_);
    if (ttl < hops_.size()) {
        hops_[ttl].rtt_samples.push(milliseconds);
        ++hops_[ttl].rtt_total;
    }
}

void HopTable::record_echo_outcome(std::uint8_t ttl, bool answered) {
    const std::lock_guard lock(lock_);
    if (ttl < hops_.size()) {
        ++hops_[ttl].echo_outcomes_total;
        hops_[ttl].echo_lost_total += answered ? 0 : 1;
    }
}

void HopTable::record_tcp_outcome(std::uint8_t ttl, bool answered) {
    const std::lock_guard lock(lock_);
    if (ttl < hops_.size()) {
        ++hops_[ttl].tcp_outcomes_total;
        hops_[ttl].tcp_lost_total += answered ? 0 : 1;
    }
}

void HopTable::restart(std::uint8_t ttl, packets::IpAddress router) {
    const std::lock_guard lock(lock_);
    if (ttl < hops_.size()) {
        HopStats& hop = hops_[ttl];
        hop.addr = router;
        hop.outcomes.clear();
        hop.rtt_samples.clear();
        hop.rtt_total = 0;
        hop.outcomes_total = 0;
        hop.lost_total = 0;
        hop.echo_outcomes_total = 0;
        hop.echo_lost_total = 0;
        hop.tcp_outcomes_total = 0;
        hop.tcp_lost_total = 0;
        hop.router_in_doubt = false;
    }
}

void HopTable::set_router_in_doubt(std::uint8_t ttl, bool in_doubt) {
    const std::lock_guard lock(lock_);
    if (ttl < hops_.size()) {
        hops_[ttl].router_in_doubt = in_doubt;
    }
}

std::vector<HopStats> HopTable::snapshot() const {
    const std::lock_guard lock(lock_);
    return hops_;
}

std::optional<packets::IpAddress> HopTable::router(std::uint8_t ttl) const {
    const std::lock_guard lock(lock_);
    return ttl < hops_.size() ? hops_[ttl].addr : std::nullopt;
}

std::uint8_t last_ttl_to_probe(const std::vector<HopStats>& hops, packets::IpAddress target, std::uint8_t max_hops,
                               std::optional<std::uint8_t>& distance) {
    if (distance && hops[*distance].addr != target) {
        distance.reset();
    } else {
        distance = target_distance(hops, target);
    }
    return distance.value_or(max_hops);
}

}  // namespace tarnvale::engines::hop
