#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tarnvale::ipc {

// One command from the client. Members other than `cmd` are absent when the
// frame leaves them out or gives null.
struct CommandFrame {
    std::string cmd;
    std::optional<std::string> version;
    std::optional<std::uint32_t> pid;
    std::optional<std::string> engine;
    std::optional<std::string> target;
    std::optional<std::uint8_t> max_hops;
    std::optional<std::string> interface;
    std::optional<std::uint32_t> probe_count;
    std::optional<std::uint64_t> poll_interval_ms;
    std::optional<std::uint64_t> interval_ms;
    std::optional<std::string> filter;

    bool operator==(const CommandFrame&) const = default;
};

// No command arrived: the line was blank, or (from the reader) the receive
// timeout passed. The command loop reads again; the handshake names it in its
// failure as if it were a command.
struct NoCommand {
    static constexpr std::string_view name = "__timeout__";
};

struct DecodeError {
    std::string message;
};

using DecodeResult = std::variant<CommandFrame, NoCommand, DecodeError>;

// Decodes one line (line feed included or not): UTF-8 check, white-space trim
// (nothing left: NoCommand), then a JSON object or an array of the eleven
// members in declared order.
DecodeResult decode_line(std::string_view line);

}  // namespace tarnvale::ipc
