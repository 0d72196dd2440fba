#include "packets/icmp_error.hpp"

namespace tarnvale::packets {

namespace {

constexpr std::uint8_t ip_version(IpFamily family) { return family == IpFamily::v4 ? 4 : 6; }

IcmpErrorKind kind_of(std::uint8_t type, IpFamily family) {
    const bool v4 = family == IpFamily::v4;
    if (type == (v4 ? icmp_time_exceeded : icmpv6_time_exceeded)) {
        return IcmpErrorKind::time_exceeded;
    }
    if (type == (v4 ? icmp_destination_unreachable : icmpv6_destination_unreachable)) {
        return IcmpErrorKind::destination_unreachable;
    }
    return IcmpErrorKind::other;
}

std::optional<QuotedDatagram> read_quoted(const IcmpView& icmp, IpFamily family) {
    if (family == IpFamily::v4) {
        const auto quoted = icmp.quoted_datagram();
        if (!quoted) {
            return std::nullopt;
        }
        return QuotedDatagram{IpAddress(quoted->destination()), quoted->protocol(), quoted->header_length(),
                              quoted->identification(), quoted->payload()};
    }
    const auto quoted = icmp.quoted_ipv6_packet();
    const auto upper = quoted ? quoted->upper_layer() : std::nullopt;
    if (!upper) {
        return std::nullopt;
    }
    const auto header_length =
        static_cast<std::size_t>(upper->bytes.data() - quoted->payload().data()) + Ipv6View::header_length;
    return QuotedDatagram{quoted->destination(), upper->protocol, header_length, std::nullopt, upper->bytes};
}

std::optional<IcmpMessage> read_message(Bytes bytes, IpFamily family) {
    const auto icmp = IcmpView::read(bytes);
    if (!icmp) {
        return std::nullopt;
    }
    IcmpMessage message{kind_of(icmp->type(), family), icmp->type(), icmp->code(), icmp->length(), std::nullopt};
    if (message.kind != IcmpErrorKind::other) {
        message.quoted = read_quoted(*icmp, family);
    }
    return message;
}

}  // namespace

bool is_of_family(Bytes datagram, IpFamily family) {
    return !datagram.empty() && (datagram[0] >> 4) == ip_version(family);
}

std::optional<ReceivedIcmp> read_icmp_error(Bytes datagram, IpFamily family) {
    if (!is_of_family(datagram, family)) {
        return std::nullopt;
    }
    if (family == IpFamily::v4) {
        const auto outer = Ipv4View::read(datagram);
        if (!outer) {
            return std::nullopt;
        }
        ReceivedIcmp received{IpAddress(outer->source()), outer->protocol(), std::nullopt};
        if (received.protocol == protocol_icmp) {
            received.icmp = read_message(outer->payload(), family);
        }
        return received;
    }
    const auto outer = Ipv6View::read(datagram);
    const auto upper = outer ? outer->upper_layer() : std::nullopt;
    if (!upper) {
        return std::nullopt;
    }
    ReceivedIcmp received{outer->source(), upper->protocol, std::nullopt};
    if (received.protocol == protocol_icmpv6) {
        received.icmp = read_message(upper->bytes, family);
    }
    return received;
}

}  // namespace tarnvale::packets
