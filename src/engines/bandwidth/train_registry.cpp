#include "engines/bandwidth/train_registry.hpp"

namespace tarnvale::engines::bandwidth {

std::optional<std::uint8_t> TrainRegistry::hop_of(std::uint16_t train_id) {
    std::optional<std::uint8_t> hop;
    trains_.modify(train_id, [&hop](const TrainRecord& train) { hop = train.hop; });
    return hop;
}

std::optional<std::vector<Instant>> TrainRegistry::add_arrival(std::uint16_t train_id, Instant arrival) {
    std::size_t arrivals = 0;
    if (!trains_.modify(train_id, [&](TrainRecord& train) {
            train.arrivals.push_back(arrival);
            arrivals = train.arrivals.size();
        })) {
        return std::nullopt;  // the train vanished meanwhile
    }
    if (arrivals < 2) {
        return std::nullopt;
    }
    auto train = trains_.take(train_id);
    if (!train) {
        return std::nullopt;
    }
    return std::move(train->arrivals);
}

}  // namespace tarnvale::engines::bandwidth
