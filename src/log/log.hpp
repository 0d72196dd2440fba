#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "platform/files.hpp"

// The probe's diagnostic log: one JSON object per line in its own file, written
// at once with one write per record, from any thread; bounded in size (see
// RotatingFile).
namespace tarnvale::log {

enum class Level { trace, debug, info, warn, error };

// The module that emits a record.
namespace target {
inline constexpr std::string_view probe = "tarnvale_probe";
inline constexpr std::string_view ipc = "tarnvale_probe::ipc";
inline constexpr std::string_view engines = "tarnvale_probe::engines";
inline constexpr std::string_view hop = "tarnvale_probe::engines::hop";
inline constexpr std::string_view bandwidth = "tarnvale_probe::engines::bandwidth";
inline constexpr std::string_view attr = "tarnvale_probe::engines::attr";
inline constexpr std::string_view aggregator = "tarnvale_probe::engines::aggregator";
inline constexpr std::string_view capture = "tarnvale_probe::engines::capture";
}  // namespace target

// A named field: a number (integers without a fraction), a boolean or a text.
struct Field {
    using Value = std::variant<std::int64_t, std::uint64_t, float, double, bool, std::string>;

    template <typename T>
        requires std::same_as<std::remove_cvref_t<T>, bool>
    Field(std::string_view field_name, T flag) : name(field_name), value(static_cast<bool>(flag)) {}

    template <std::signed_integral T>
        requires(!std::same_as<T, bool> && !std::same_as<T, char>)
    Field(std::string_view field_name, T number) : name(field_name), value(static_cast<std::int64_t>(number)) {}

    template <std::unsigned_integral T>
        requires(!std::same_as<T, bool>)
    Field(std::string_view field_name, T number) : name(field_name), value(static_cast<std::uint64_t>(number)) {}

    Field(std::string_view field_name, float number) : name(field_name), value(number) {}
    Field(std::string_view field_name, double number) : name(field_name), value(number) {}
    Field(std::string_view field_name, std::string_view text) : name(field_name), value(std::string(text)) {}
    Field(std::string_view field_name, const char* text) : name(field_name), value(std::string(text)) {}
    Field(std::string_view field_name, std::string text) : name(field_name), value(std::move(text)) {}

    std::string_view name;
    Value value;
};

using Fields = std::initializer_list<Field>;

// The fixed filter: INFO, WARN and ERROR are written.
constexpr bool enabled(Level level) { return level >= Level::info; }

// Makes every later record go to `file`, opened at `path`. Called once at start-up.
void install(std::filesystem::path path, platform::RecordFile file);

void emit(Level level, std::string_view target, std::string_view message, Fields fields = {});

inline void info(std::string_view target, std::string_view message, Fields fields = {}) {
    emit(Level::info, target, message, fields);
}
inline void warn(std::string_view target, std::string_view message, Fields fields = {}) {
    emit(Level::warn, target, message, fields);
}
inline void error(std::string_view target, std::string_view message, Fields fields = {}) {
    emit(Level::error, target, message, fields);
}

// The line for one record, line feed included.
std::string format_line(Level level, std::string_view target, std::string_view message, Fields fields,
                        std::chrono::system_clock::time_point when);

}  // namespace tarnvale::log
