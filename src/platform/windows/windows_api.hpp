#pragma once

// The Windows headers in the order they need: Winsock 2 before windows.h.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <string>
#include <string_view>
#include <system_error>

namespace tarnvale::platform {

inline std::error_code last_system_error() {
    return std::error_code(static_cast<int>(::GetLastError()), std::system_category());
}

inline std::error_code last_socket_error() {
    return std::error_code(::WSAGetLastError(), std::system_category());
}

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string narrow(std::wstring_view wide);

}  // namespace tarnvale::platform
