#pragma once

#include <cstddef>

namespace tarnvale::capture {

// Bytes in front of the IPv4 header for a capture link type.
std::size_t link_header_length(int link_type);

}  // namespace tarnvale::capture
