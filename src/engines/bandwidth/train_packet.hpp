#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "packets/ip_address.hpp"
#include "packets/ports.hpp"

// The packets of a bandwidth train: ten 1400-byte UDP datagrams whose TTL (or
// hop limit) is the hop measured, numbered so that the routers' answers tell
// hop and packet apart. Over IPv6 they are as long: the larger header leaves
// less payload.
namespace tarnvale::engines::bandwidth {

inline constexpr unsigned packets_per_train = 10;
inline constexpr std::size_t train_packet_size = 1400;
inline constexpr std::uint16_t train_base_port = packets::traceroute_base_port;
inline constexpr std::uint16_t ports_per_hop = 10;
inline constexpr std::uint8_t highest_port_hop = 30;  // ports 33434 to 33733
inline constexpr unsigned train_numbers = 256;

constexpr std::uint16_t train_destination_port(std::uint8_t hop, unsigned packet_index) {
    return static_cast<std::uint16_t>(train_base_port + ports_per_hop * (hop - 1) + packet_index);
}

constexpr std::uint16_t train_identification(std::uint16_t train_id, unsigned packet_index) {
    return static_cast<std::uint16_t>(0x8000U | ((train_id * 10U + packet_index) & 0xFFFFU));
}

// The hop an answer belongs to, from the destination port it quotes; nothing for
// a port outside the trains' range.
std::optional<std::uint8_t> hop_for_port(std::uint16_t destination_port);

// In the target's family, from the engine's own UDP port; over IPv6, with the
// UDP checksum IPv6 requires.
std::vector<std::uint8_t> build_train_packet(std::uint16_t train_id, std::uint8_t hop, unsigned packet_index,
                                             const packets::IpAddress& source, const packets::IpAddress& target,
                                             std::uint16_t source_port);

// Train numbers 0 to 255, in turn.
class TrainCounter {
public:
    std::uint16_t next() {
        const std::uint16_t id = next_;
        next_ = static_cast<std::uint16_t>((next_ + 1) % train_numbers);
        return id;
    }

private:
    std::uint16_t next_ = 0;
};

}  // namespace tarnvale::engines::bandwidth
