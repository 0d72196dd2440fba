#include "packets/ipv4.hpp"

#include <charconv>

#include "packets/byte_order.hpp"
#include "packets/checksum.hpp"

namespace tarnvale::packets {

Ipv4 Ipv4::from_wire(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return Ipv4(read_u32(bytes, offset));
}

Ipv4 Ipv4::from_network_word(std::uint32_t word) {
    return Ipv4(from_network_order(word));
}

std::uint32_t Ipv4::network_word() const {
    return from_network_order(number_);  // the same swap, either way
}

std::string to_text(Ipv4 address) {
    const std::uint32_t number = address.number();
    return std::to_string(number >> 24) + "." + std::to_string((number >> 16) & 0xFF) + "." +
           std::to_string((number >> 8) & 0xFF) + "." + std::to_string(number & 0xFF);
}

std::optional<Ipv4> parse_ipv4(std::string_view text) {
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (!text.starts_with('.')) {
                return std::nullopt;
            }
            text.remove_prefix(1);
        }
        unsigned value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        const auto digits = static_cast<std::size_t>(end - text.data());
        if (error != std::errc{} || digits == 0 || digits > 3 || value > 255) {
            return std::nullopt;
        }
        address = address << 8 | value;
        text.remove_prefix(digits);
    }
    if (!text.empty()) {
        return std::nullopt;
    }
    return Ipv4(address);
}

void write_ipv4_header(std::span<std::uint8_t, ipv4_header_length> out, const Ipv4Header& header) {
    out[0] = 0x45;
    out[1] = 0;
    write_u16(out, 2, header.total_length);
    write_u16(out, 4, header.identification);
    write_u16(out, 6, header.flags_and_fragment);
    out[8] = header.ttl;
    out[9] = header.protocol;
    write_u16(out, 10, 0);
    write_u32(out, 12, header.source.number());
    write_u32(out, 16, header.destination.number());
    write_u16(out, 10, internet_checksum(out));
}

void write_udp_header(std::span<std::uint8_t, udp_header_length> out, std::uint16_t source_port,
                      std::uint16_t destination_port, std::uint16_t length) {
    write_u16(out, 0, source_port);
    write_u16(out, 2, destination_port);
    write_u16(out, 4, length);
    write_u16(out, 6, 0);
}

}  // namespace tarnvale::packets
