#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnvale::probe {

inline constexpr std::uint16_t default_port = 49152;

// The port to listen on: the argument trimmed of white space and read as an
// unsigned 16-bit decimal number with one optional leading "+"; anything else,
// and no argument at all, gives the default port. 0 lets the system choose.
std::uint16_t parse_port_argument(std::optional<std::string_view> argument);

}  // namespace tarnvale::probe
