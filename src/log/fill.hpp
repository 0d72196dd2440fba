#pragma once

#include <concepts>
#include <string>
#include <string_view>

namespace tarnvale::log {

namespace detail {

inline void append_text(std::string& out, std::string_view text) { out.append(text); }
inline void append_text(std::string& out, const char* text) { out.append(text); }
inline void append_text(std::string& out, const std::string& text) { out.append(text); }

template <std::integral T>
void append_text(std::string& out, T number) {
    out.append(std::to_string(number));
}

}  // namespace detail

// Fills each "{}" of a message template with the next argument, in order.
template <typename... Args>
std::string fill_message(std::string_view pattern, const Args&... args) {
    std::string out;
    out.reserve(pattern.size() + 16 * sizeof...(Args));
    std::size_t pos = 0;
    const auto next = [&](const auto& arg) {
        const std::size_t slot = pattern.find("{}", pos);
        if (slot == std::string_view::npos) {
            return;
        }
        out.append(pattern.substr(pos, slot - pos));
        detail::append_text(out, arg);
        pos = slot + 2;
    };
    (next(args), ...);
    out.append(pattern.substr(pos));
    return out;
}

}  // namespace tarnvale::log
