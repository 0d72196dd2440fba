#include "engines/hop/echo_packet.hpp"

#include "packets/byte_order.hpp"
#include "packets/checksum.hpp"
#include "packets/views.hpp"

namespace tarnvale::engines::hop {

std::array<std::uint8_t, 8> build_echo_request(std::uint16_t identifier, std::uint16_t sequence) {
    std::array<std::uint8_t, 8> request{packets::icmp_echo_request, 0, 0, 0, 0, 0, 0, 0};
    packets::write_u16(request, 4, identifier);
    packets::write_u16(request, 6, sequence);
    packets::write_u16(request, 2, packets::internet_checksum(request));
    return request;
}

bool is_echo_reply(std::span<const std::uint8_t> datagram, packets::Ipv4 from, std::uint16_t identifier,
                   std::uint16_t sequence, packets::Ipv4 router) {
    const auto ip = packets::Ipv4View::read_delimited(datagram);
    const auto icmp = ip ? packets::IcmpView::read(ip->payload(), packets::IcmpView::header_length) : std::nullopt;
    return icmp && icmp->type() == packets::icmp_echo_reply && icmp->echo_identifier() == identifier &&
           icmp->echo_sequence() == sequence && from == router;
}

}  // namespace tarnvale::engines::hop
