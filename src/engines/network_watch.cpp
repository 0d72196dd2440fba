#include "engines/network_watch.hpp"

#include <string>

#include "log/log.hpp"

namespace tarnvale::engines {

using platform::NetworkNotice;
using platform::NoticeChange;
using platform::NoticeSubject;

void NetworkWatch::take(std::span<const NetworkNotice> notices, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    for (const auto& notice : notices) {
        if (counts(notice)) {
            change_pending_ = true;
            last_counted_ = now;
        }
    }
}

std::uint64_t NetworkWatch::settled_generation(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (change_pending_ && now - last_counted_ >= quiet_time_) {
        change_pending_ = false;
        ++generation_;
    }
    return generation_;
}

bool NetworkWatch::watch_failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

bool NetworkWatch::counts(const NetworkNotice& notice) {
    switch (notice.subject) {
        case NoticeSubject::link:
            return link_counts(notice);
        case NoticeSubject::address:
            return address_counts(notice);
        case NoticeSubject::route:
            // Routes outside the main table are the host's own addresses,
            // broadcast and multicast; link-local routes reach no target.
            return !notice.snapshot && notice.main_table && notice.unicast && !notice.link_local &&
                   !loopback_interfaces_.contains(notice.interface_index);
        case NoticeSubject::lost:
            // What changed is unknown: everything is learned again.
            return true;
        case NoticeSubject::failed:
            if (!failed_) {
                failed_ = true;
                log::warn(log::target::engines, "the network change watch has ended; later changes go unseen",
                          {{"error", notice.error.message()}});
            }
            return true;
    }
    return false;
}

// A link counts when it goes away, or when it turns up or down: the system
// repeats a link's state whenever any of its settings changes (a capture
// turning promiscuous mode on), which is no change to the engines. A link not
// seen before is a new device.
bool NetworkWatch::link_counts(const NetworkNotice& notice) {
    if (notice.loopback) {
        loopback_interfaces_.insert(notice.interface_index);
        return false;
    }
    if (loopback_interfaces_.contains(notice.interface_index)) {
        return false;
    }
    if (notice.change == NoticeChange::removed) {
        link_up_.erase(notice.interface_index);
        std::erase_if(addresses_, [&](const auto& entry) { return std::get<0>(entry.first) == notice.interface_index; });
        return !notice.snapshot;
    }
    const bool up = notice.change == NoticeChange::up;
    const auto [known, first_seen] = link_up_.try_emplace(notice.interface_index, up);
    const bool turned = !first_seen && known->second != up;
    known->second = up;
    return !notice.snapshot && (first_seen || turned);
}

// An address counts when it becomes usable as a source, stops being usable or
// is deprecated: the system announces an address again each time its lifetime
// is renewed (DHCP, router advertisements), and announces one that is still
// being checked for duplicates before it may be used.
bool NetworkWatch::address_counts(const NetworkNotice& notice) {
    if (notice.host_only || notice.link_local || loopback_interfaces_.contains(notice.interface_index)) {
        return false;
    }
    const AddressKey key{notice.interface_index, notice.address, notice.prefix_length};
    AddressState now = AddressState::absent;
    if (notice.change != NoticeChange::removed && notice.usable) {
        now = notice.deprecated ? AddressState::deprecated : AddressState::preferred;
    }
    const auto known = addresses_.find(key);
    const AddressState before = known == addresses_.end() ? AddressState::absent : known->second;
    if (now == AddressState::absent) {
        if (known != addresses_.end()) {
            addresses_.erase(known);
        }
    } else {
        addresses_[key] = now;
    }
    return !notice.snapshot && now != before;
}

HostNetwork::HostNetwork() {
    std::error_code error;
    watch_ = platform::open_network_change_watch(
        [decisions = decisions_](std::span<const NetworkNotice> notices) {
            decisions->take(notices, NetworkWatch::Clock::now());
        },
        error);
    if (error) {
        log::warn(log::target::engines, "network changes are not watched; the engines look at their route every poll",
                  {{"err", error.message()}, {"poll_s", network_poll_period.count()}});
    }
}

std::function<std::uint64_t()> HostNetwork::generation() const {
    return [decisions = decisions_, watched = watch_.watching()] {
        const auto now = NetworkWatch::Clock::now();
        std::uint64_t generation = decisions->settled_generation(now);
        if (!watched || decisions->watch_failed()) {
            // Nothing tells of changes: a new poll period counts as one.
            generation += static_cast<std::uint64_t>(now.time_since_epoch() / network_poll_period);
        }
        return generation;
    };
}

}  // namespace tarnvale::engines
