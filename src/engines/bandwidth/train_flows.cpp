#include "engines/bandwidth/train_flows.hpp"

#include "engines/bandwidth/train_packet.hpp"

namespace tarnvale::engines::bandwidth {

std::uint8_t guest_flow(std::uint64_t sweep) {
    if (sweep == 0) {
        return 0;
    }
    constexpr std::uint64_t guests = train_flow_count - 1;
    return static_cast<std::uint8_t>(1 + (sweep - 1) % guests);
}

std::uint8_t train_flow(std::uint64_t sweep, std::uint32_t train) { return train == 0 ? 0 : guest_flow(sweep); }

}  // namespace tarnvale::engines::bandwidth
