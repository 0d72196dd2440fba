#include "engines/hop/echo_packet.hpp"

#include "packets/byte_order.hpp"
#include "packets/checksum.hpp"
#include "packets/ipv6.hpp"
#include "packets/views.hpp"

namespace tarnvale::engines::hop {

std::vector<std::uint8_t> build_echo_request(std::uint16_t identifier, std::uint16_t sequence,
                                             const packets::IpAddress& source, const packets::IpAddress& router) {
    const bool ipv4 = router.is_v4();
    std::vector<std::uint8_t> request(8, 0);
    request[0] = ipv4 ? packets::icmp_echo_request : packets::icmpv6_echo_request;
    packets::write_u16(request, 4, identifier);
    packets::write_u16(request, 6, sequence);
    packets::write_u16(request, 2,
                       ipv4 ? packets::internet_checksum(request)
                            : packets::ipv6_upper_layer_checksum(source, router, packets::protocol_icmpv6, request));
    return request;
}

bool is_echo_reply(std::span<const std::uint8_t> datagram, const packets::IpAddress& from, std::uint16_t identifier,
                   std::uint16_t sequence, const packets::IpAddress& router) {
    std::optional<packets::IcmpView> icmp;
    if (router.is_v4()) {
        const auto ip = packets::Ipv4View::read_delimited(datagram);
        icmp = ip ? packets::IcmpView::read(ip->payload(), packets::IcmpView::header_length) : std::nullopt;
    } else {
        icmp = packets::IcmpView::read(datagram, packets::IcmpView::header_length);
    }
    const std::uint8_t reply_type = router.is_v4() ? packets::icmp_echo_reply : packets::icmpv6_echo_reply;
    return icmp && icmp->type() == reply_type && icmp->echo_identifier() == identifier &&
           icmp->echo_sequence() == sequence && from == router;
}

}  // namespace tarnvale::engines::hop
