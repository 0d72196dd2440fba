#pragma once

#include <array>
#include <string_view>

namespace tarnvale::engines {

inline constexpr std::string_view capture_engine = "capture";
inline constexpr std::string_view hop_engine = "hop";
inline constexpr std::string_view bandwidth_engine = "bw";
inline constexpr std::string_view attribution_engine = "attr";

// The engines the probe offers, in the order the handshake advertises them.
inline constexpr std::array<std::string_view, 4> engine_names = {capture_engine, hop_engine, bandwidth_engine,
                                                                 attribution_engine};

}  // namespace tarnvale::engines
