#pragma once

#include <array>
#include <string_view>

// The names the client sees in events: engine names and error codes. Every
// sender of an event takes them from here, so that a client can rely on them.
namespace tarnvale::ipc {

namespace engine_name {
inline constexpr std::string_view capture = "capture";
inline constexpr std::string_view hop = "hop";
inline constexpr std::string_view bandwidth = "bw";
inline constexpr std::string_view attribution = "attr";
// Not engines, but they send error events under these names.
inline constexpr std::string_view watchdog = "watchdog";
}  // namespace engine_name

// The engines the probe offers, in the order the handshake advertises them.
inline constexpr std::array<std::string_view, 4> engine_names = {engine_name::capture, engine_name::hop,
                                                                 engine_name::bandwidth, engine_name::attribution};

namespace error_code {
inline constexpr std::string_view no_target = "NO_TARGET";
inline constexpr std::string_view socket_create_fail = "SOCKET_CREATE_FAIL";
inline constexpr std::string_view engine_stub = "ENGINE_STUB";
inline constexpr std::string_view python_died = "PYTHON_DIED";
// The capture library is missing or a capture cannot be opened. On Windows the
// library is Npcap, and the code names it; elsewhere it is libpcap.
#ifdef _WIN32
inline constexpr std::string_view capture_open_fail = "NPCAP_NOT_FOUND";
#else
inline constexpr std::string_view capture_open_fail = "PCAP_OPEN_FAIL";
#endif
// An open capture stopped delivering (a read error).
inline constexpr std::string_view capture_read_fail = "CAPTURE_READ_FAIL";
// Packets an engine built could not be sent (a local firewall, no route).
inline constexpr std::string_view send_fail = "SEND_FAIL";
// The system gives no route, or no source address, toward the target.
inline constexpr std::string_view no_route = "NO_ROUTE";
// The system refused an engine a thread.
inline constexpr std::string_view thread_start_fail = "THREAD_START_FAIL";
}  // namespace error_code

namespace path_status {
inline constexpr std::string_view no_route = "no_route";
inline constexpr std::string_view restored = "restored";
}  // namespace path_status

}  // namespace tarnvale::ipc
