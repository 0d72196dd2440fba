#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarnvale::runtime {

// A map shared between threads: each shard has its own lock, so that one
// thread's insert and another's removal of a different key rarely meet.
template <typename Key, typename Value, std::size_t ShardCount = 16>
class ShardedMap {
public:
    void insert_or_assign(const Key& key, Value value) {
        Shard& shard = shard_for(key);
        const std::lock_guard lock(shard.lock);
        shard.entries.insert_or_assign(key, std::move(value));
    }

    // Removes the entry and returns it; each entry is taken at most once.
    std::optional<Value> take(const Key& key) {
        return take(key, [](const Value&) { return true; });
    }

    // The same, for an entry whose value `wanted` accepts; others stay.
    template <typename Predicate>
    std::optional<Value> take(const Key& key, Predicate&& wanted) {
        Shard& shard = shard_for(key);
        const std::lock_guard lock(shard.lock);
        const auto entry = shard.entries.find(key);
        if (entry == shard.entries.end() || !wanted(std::as_const(entry->second))) {
            return std::nullopt;
        }
        Value value = std::move(entry->second);
        shard.entries.erase(entry);
        return value;
    }

    // Calls `change` on the entry under its shard's lock; false when there is none.
    template <typename Change>
    bool modify(const Key& key, Change&& change) {
        Shard& shard = shard_for(key);
        const std::lock_guard lock(shard.lock);
        const auto entry = shard.entries.find(key);
        if (entry == shard.entries.end()) {
            return false;
        }
        change(entry->second);
        return true;
    }

    // Calls `change` on the entry under its shard's lock, creating the entry
    // with a value-initialised value first if there is none. Allocates only then.
    template <typename Change>
    void update(const Key& key, Change&& change) {
        Shard& shard = shard_for(key);
        const std::lock_guard lock(shard.lock);
        change(shard.entries.try_emplace(key).first->second);
    }

    // Visits every entry, able to change its value, under its shard's lock; an
    // entry for which `visit` returns false is removed.
    template <typename Visit>
    void visit_or_erase(Visit&& visit) {
        for (Shard& shard : shards_) {
            const std::lock_guard lock(shard.lock);
            for (auto entry = shard.entries.begin(); entry != shard.entries.end();) {
                entry = visit(entry->first, entry->second) ? std::next(entry) : shard.entries.erase(entry);
            }
        }
    }

    std::size_t size() const {
        std::size_t total = 0;
        for (const Shard& shard : shards_) {
            const std::lock_guard lock(shard.lock);
            total += shard.entries.size();
        }
        return total;
    }

    // Visits every entry under its shard's lock, one shard after another.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        for (const Shard& shard : shards_) {
            const std::lock_guard lock(shard.lock);
            for (const auto& [key, value] : shard.entries) {
                visit(key, value);
            }
        }
    }

    // Removes every entry the predicate selects, one shard after another, and
    // returns what it removed.
    template <typename Predicate>
    std::vector<std::pair<Key, Value>> take_if(Predicate&& predicate) {
        std::vector<std::pair<Key, Value>> taken;
        for (Shard& shard : shards_) {
            const std::lock_guard lock(shard.lock);
            for (auto entry = shard.entries.begin(); entry != shard.entries.end();) {
                if (predicate(entry->first, entry->second)) {
                    taken.emplace_back(entry->first, std::move(entry->second));
                    entry = shard.entries.erase(entry);
                } else {
                    ++entry;
                }
            }
        }
        return taken;
    }

private:
    struct Shard {
        mutable std::mutex lock;
        std::unordered_map<Key, Value> entries;
    };

    Shard& shard_for(const Key& key) { return shards_[std::hash<Key>{}(key) % ShardCount]; }

    std::array<Shard, ShardCount> shards_;
};

}  // namespace tarnvale::runtime
