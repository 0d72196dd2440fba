#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnvale::engines::attr {

// `seed` and `more` mixed into one hash whose every bit depends on both, so
// that keys differing in one port spread over a table's buckets and shards.
inline std::size_t mixed_hash(std::uint64_t seed, std::uint64_t more) {
    std::uint64_t value = seed ^ (more * 0x9E3779B97F4A7C15ULL);
    value ^= value >> 29;
    value *= 0xBF58476D1CE4E5B9ULL;
    value ^= value >> 32;
    return static_cast<std::size_t>(value);
}

}  // namespace tarnvale::engines::attr
