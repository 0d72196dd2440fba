// Any frame a capture may hand over, on any link type: what the three
// receivers do with it (link header, the ICMP error reader under the hop reply
// and train answer matchers, IPv4 or IPv6 traffic frame with its extension
// headers), and the pinger with a datagram from its socket, must not crash or
// read out of bounds.
#include <array>
#include <cstdint>
#include <span>

#include "capture/link_header.hpp"
#include "engines/attr/flow_table.hpp"
#include "engines/bandwidth/answer_parser.hpp"
#include "engines/hop/echo_packet.hpp"
#include "engines/hop/reply_parser.hpp"
#include "packets/icmp_error.hpp"

namespace {

constexpr std::array<int, 7> link_types = {0, 1, 12, 101, 113, 276, 228};
constexpr tarnvale::packets::IpAddress target{tarnvale::packets::Ipv4(0xCB00710A)};  // 203.0.113.10
// 2001:db8:113::10
constexpr tarnvale::packets::IpAddress target_v6 = tarnvale::packets::IpAddress::from_octets(
    {0x20, 0x01, 0x0D, 0xB8, 0x01, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10});

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t link_header = tarnvale::capture::link_header_length(link_types[data[0] % link_types.size()]);
    const std::span<const std::uint8_t> frame(data + 1, size - 1);

    tarnvale::engines::attr::FlowTable flows;  // per input, so that memory stays bounded
    tarnvale::engines::attr::FragmentPorts fragments;
    const tarnvale::engines::attr::LocalAddresses local = {
        tarnvale::packets::IpAddress(tarnvale::packets::Ipv4(0xC0A8010A))};
    tarnvale::engines::attr::account_frame(frame, static_cast<std::uint32_t>(frame.size()), link_header, local,
                                           flows, fragments);
    if (frame.size() < link_header) {
        return 0;
    }
    const auto datagram = frame.subspan(link_header);
    for (const auto& to : {target, target_v6}) {
        tarnvale::engines::hop::parse_probe_reply(datagram, to, {50001});
        if (const auto received = tarnvale::packets::read_icmp_error(datagram, tarnvale::packets::family_of(to))) {
            tarnvale::engines::bandwidth::match_train_answer(*received, to, 50000);
        }
        tarnvale::engines::hop::is_echo_reply(datagram, to, 1, 1, to);
    }
    return 0;
}
