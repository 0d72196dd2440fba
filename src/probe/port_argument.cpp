#include "probe/port_argument.hpp"

#include <charconv>

#include "json/utf8.hpp"

namespace tarnvale::probe {

std::uint16_t parse_port_argument(std::optional<std::string_view> argument) {
    if (!argument || !utf8::is_valid(*argument)) {
        return default_port;
    }
    std::string_view text = utf8::trim_white_space(*argument);
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    std::uint16_t port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return default_port;
    }
    return port;
}

}  // namespace tarnvale::probe
