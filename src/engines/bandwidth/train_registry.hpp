#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engines/bandwidth/estimator.hpp"
#include "runtime/sharded_map.hpp"

namespace tarnvale::engines::bandwidth {

struct TrainRecord {
    std::uint16_t train_id;
    std::uint8_t hop;
    std::uint8_t flow;
    std::uint16_t expected;
    Instant sent_at;
    std::vector<Instant> arrivals;
};

struct TrainDestination {
    std::uint8_t hop;
    std::uint8_t flow;

    bool operator==(const TrainDestination&) const = default;
};

// Trains in flight by number, shared by the sender and the receiver.
class TrainRegistry {
public:
    void add(TrainRecord record) { trains_.insert_or_assign(record.train_id, std::move(record)); }
    void remove(std::uint16_t train_id) { trains_.take(train_id); }

    // Drops every train registered `age` or longer ago.
    void purge_older_than(Instant now, std::chrono::seconds age) {
        trains_.take_if([&](std::uint16_t, const TrainRecord& train) { return now - train.sent_at >= age; });
    }

    // The hop and flow the train was sent to, while it is in flight: not once
    // its sample is taken, it was purged or it could not be sent.
    std::optional<TrainDestination> destination_of(std::uint16_t train_id);

    // Appends an answer's arrival to the train. When it has two or more, the
    // train leaves the registry and its arrivals are returned.
    std::optional<std::vector<Instant>> add_arrival(std::uint16_t train_id, Instant arrival);

private:
    runtime::ShardedMap<std::uint16_t, TrainRecord> trains_;
};

}  // namespace tarnvale::engines::bandwidth
