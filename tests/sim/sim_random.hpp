#pragma once

#include <cmath>
#include <cstdint>
#include <random>

namespace tarnvale::sim {

// The simulated path's random numbers: one seeded engine per run.
using Random = std::mt19937_64;

// Uniform in [0, 1), from the engine's top 53 bits.
inline double unit_draw(Random& random) { return static_cast<double>(random() >> 11) * 0x1.0p-53; }

// Uniform in [lo, hi).
inline double uniform_draw(Random& random, double lo, double hi) { return lo + (hi - lo) * unit_draw(random); }

// The wait until the next event of a Poisson process of `per_s` events a second.
inline double exponential_draw(Random& random, double per_s) { return -std::log1p(-unit_draw(random)) / per_s; }

// A run's seed spread over all 64 bits (splitmix64), so that neighbouring seeds
// give unrelated runs.
inline std::uint64_t mix_seed(std::uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

}  // namespace tarnvale::sim
