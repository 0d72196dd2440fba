#include "engines/bandwidth/train_registry.hpp"

namespace tarnvale::engines::bandwidth {

std::optional<TrainDestination> TrainRegistry::destination_of(std::uint16_t train_id) {
    std::optional<TrainDestination> destination;
    trains_.modify(train_id, [&destination](const TrainRecord& train) {
        destination = TrainDestination{train.hop, train.flow};
    });
    return destination;
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
