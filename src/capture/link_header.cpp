#include "capture/link_header.hpp"

namespace tarnvale::capture {

std::size_t link_header_length(int link_type) {
    switch (link_type) {
        case 0:    // BSD loopback: a 4-byte address family
        case 101:  // taken like type 0
            return 4;
        case 12:  // raw IPv4
            return 0;
        case 113:  // Linux cooked capture (the "any" device)
            return 16;
        case 276:  // Linux cooked capture v2
            return 20;
        default:  // Ethernet and everything else
            return 14;
    }
}

}  // namespace tarnvale::capture
