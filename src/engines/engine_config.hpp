#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarnvale::engines {

// What every engine receives. No command changes these values.
struct EngineConfig {
    std::string target;
    std::optional<std::string> interface;
    std::optional<std::string> filter;
    std::uint64_t poll_interval_ms = 1000;
    std::uint64_t interval_ms = 5000;
    std::uint32_t probe_count = 3;
    std::uint8_t max_hops = 30;
};

}  // namespace tarnvale::engines
