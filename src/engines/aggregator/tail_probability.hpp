#pragma once

#include <cstdint>

// Exact tail probabilities for comparing loss counts.
namespace tarnvale::engines::aggregator {

// Two groups of probes, `lost_a` of `count_a` and `lost_b` of `count_b`: the
// probability, were every probe equally likely to be lost, that group a would
// hold fewer than `lost_a` of all the losses, plus half the probability that it
// holds exactly `lost_a` (Fisher's exact test, lower tail, as a mid-p value:
// the plain exact test is far more cautious than its level with the few losses
// one hop collects, the mid-p value about as cautious as the level says).
double fewer_losses_probability(std::uint64_t lost_a, std::uint64_t count_a, std::uint64_t lost_b,
                                std::uint64_t count_b);

// The same for more than `lost_a` of the losses (upper tail, mid-p value).
double more_losses_probability(std::uint64_t lost_a, std::uint64_t count_a, std::uint64_t lost_b,
                               std::uint64_t count_b);

// The probability that `count` probes, each lost with probability `share`,
// would lose `lost` or more of them.
double at_least_probability(std::uint64_t lost, std::uint64_t count, double share);

// The value a standard normal variable exceeds with the given probability (0 to 0.5).
double normal_upper_quantile(double probability);

}  // namespace tarnvale::engines::aggregator
