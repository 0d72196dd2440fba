#include "engines/bandwidth/train_registry.hpp"

namespace tarnvale::engines::bandwidth {

std::optional<std::uint16_t> TrainRegistry::newest_train_of(std::uint8_t hop) const {
    std::optional<std::uint16_t> newest;
    Instant newest_sent{};
    trains_.for_each([&](std::uint16_t id, const TrainRecord& train) {
        if (train.hop == hop && (!newest || train.sent_at > newest_sent)) {
            newest = id;
            newest_sent = train.sent_at;
        }
    });
    return newest;
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
