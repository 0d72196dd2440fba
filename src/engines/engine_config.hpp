#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tarnvale::engines {

// What every engine receives. Which members an engine reads is its own
// business; the ones a start_engine command may set are in EngineSettings.
struct EngineConfig {
    std::string target;
    std::optional<std::string> interface;  // the capture device to use; the system's choice when absent
    std::uint64_t poll_interval_ms = 1000;
    std::uint64_t interval_ms = 5000;
    std::uint32_t probe_count = 3;
    std::uint8_t max_hops = 30;
};

// What a start_engine command asks of the engine it starts. The hop engine
// takes max_hops and interval_ms; the other engines run with the defaults.
struct EngineSettings {
    std::string target;
    std::optional<std::string> interface;
    std::optional<std::uint8_t> max_hops;
    std::optional<std::uint64_t> interval_ms;
};

// The bounds of the hop engine's settings: at least one hop, and no further
// than Linux's default TTL reaches; a sweep at most once a second, when each
// router's ICMP budget refills by one answer, and at least once a minute, so
// that the loss rings span minutes, not hours.
inline constexpr std::uint8_t min_max_hops = 1;
inline constexpr std::uint8_t max_max_hops = 64;
inline constexpr std::uint64_t min_interval_ms = 1000;
inline constexpr std::uint64_t max_interval_ms = 60000;

// The settings refused, in words for the client.
struct SettingsRefused {
    std::string reason;
};

// The configuration the named engine runs with, or why its settings are refused.
std::variant<EngineConfig, SettingsRefused> configure_engine(std::string_view engine, EngineSettings settings);

}  // namespace tarnvale::engines
