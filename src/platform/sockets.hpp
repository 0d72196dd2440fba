#pragma once

namespace tarnvale::platform {

// Whether the control listener sets SO_REUSEADDR: on Linux it lets a fixed port
// be bound again while an earlier connection is in TIME_WAIT; on Windows the same
// option would let another process take the port.
#ifdef _WIN32
inline constexpr bool listener_reuses_address = false;
#else
inline constexpr bool listener_reuses_address = true;
#endif

}  // namespace tarnvale::platform
