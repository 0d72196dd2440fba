#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engines/attr/flow_table.hpp"

namespace tarnvale::engines::attr {

// The host's addresses, which tell a flow's local end from its remote one:
// replaced when the host's network changes (a new lease, another interface),
// read by the capture thread for every frame. A reader keeps its own copy and
// takes the new one when the edition has moved, so that a frame costs one
// atomic load and no lock.
class LocalAddressBook {
public:
    explicit LocalAddressBook(LocalAddresses addresses)
        : current_(std::make_shared<const LocalAddresses>(std::move(addresses))) {}

    void replace(LocalAddresses addresses) {
        auto next = std::make_shared<const LocalAddresses>(std::move(addresses));
        const std::lock_guard lock(lock_);
        current_ = std::move(next);
        edition_.fetch_add(1, std::memory_order_release);
    }

    // A reader's copy, up to date with the book at its last look.
    class Reader {
    public:
        explicit Reader(const LocalAddressBook& book) : book_(book) { refresh(); }

        const LocalAddresses& addresses() {
            if (book_.edition_.load(std::memory_order_acquire) != edition_) {
                refresh();
            }
            return *addresses_;
        }

    private:
        void refresh() {
            const std::lock_guard lock(book_.lock_);
            addresses_ = book_.current_;
            edition_ = book_.edition_.load(std::memory_order_relaxed);
        }

        const LocalAddressBook& book_;
        std::shared_ptr<const LocalAddresses> addresses_;
        std::uint64_t edition_ = 0;
    };

    std::shared_ptr<const LocalAddresses> current() const {
        const std::lock_guard lock(lock_);
        return current_;
    }

private:
    mutable std::mutex lock_;
    std::shared_ptr<const LocalAddresses> current_;  // guarded by lock_
    std::atomic<std::uint64_t> edition_{0};
};

}  // namespace tarnvale::engines::attr
