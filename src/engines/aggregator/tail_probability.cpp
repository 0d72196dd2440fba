#include "engines/aggregator/tail_probability.hpp"

#include <algorithm>
#include <cmath>

namespace tarnvale::engines::aggregator {

namespace {

double log_choose(std::uint64_t n, std::uint64_t k) {
    const auto dn = static_cast<double>(n);
    const auto dk = static_cast<double>(k);
    return std::lgamma(dn + 1) - std::lgamma(dk + 1) - std::lgamma(dn - dk + 1);
}

// P(X = i) for X the losses of group a when `losses` of `total` probes are lost
// and group a holds `count_a` of them.
double hypergeometric(std::uint64_t i, std::uint64_t count_a, std::uint64_t losses, std::uint64_t total) {
    return std::exp(log_choose(count_a, i) + log_choose(total - count_a, losses - i) - log_choose(total, losses));
}

}  // namespace

double normal_upper_quantile(double probability) {
    // Bisection on the complementary error function: a few dozen steps, and
    // only a handful of rates are ever asked for.
    double low = 0.0;
    double high = 40.0;
    for (int step = 0; step < 60; ++step) {
        const double middle = (low + high) / 2;
        if (0.5 * std::erfc(middle / std::sqrt(2.0)) > probability) {
            low = middle;
        } else {
            high = middle;
        }
    }
    return (low + high) / 2;
}

double at_least_probability(std::uint64_t lost, std::uint64_t count, double share) {
    if (lost == 0) {
        return 1.0;
    }
    if (share <= 0.0 || lost > count) {
        return 0.0;
    }
    if (share >= 1.0) {
        return 1.0;
    }
    const double log_share = std::log(share);
    const double log_rest = std::log1p(-share);
    double sum = 0;
    for (std::uint64_t i = lost; i <= count; ++i) {
        sum += std::exp(log_choose(count, i) + static_cast<double>(i) * log_share +
                        static_cast<double>(count - i) * log_rest);
    }
    return std::min(sum, 1.0);
}

double fewer_losses_probability(std::uint64_t lost_a, std::uint64_t count_a, std::uint64_t lost_b,
                                std::uint64_t count_b) {
    const std::uint64_t losses = lost_a + lost_b;
    const std::uint64_t total = count_a + count_b;
    const std::uint64_t lowest = losses > count_b ? losses - count_b : 0;
    double sum = 0;
    for (std::uint64_t i = lowest; i <= lost_a; ++i) {
        sum += hypergeometric(i, count_a, losses, total);
    }
    return std::min(sum - 0.5 * hypergeometric(lost_a, count_a, losses, total), 1.0);
}

double more_losses_probability(std::uint64_t lost_a, std::uint64_t count_a, std::uint64_t lost_b,
                               std::uint64_t count_b) {
    const std::uint64_t losses = lost_a + lost_b;
    const std::uint64_t total = count_a + count_b;
    const std::uint64_t highest = std::min(losses, count_a);
    double sum = 0;
    for (std::uint64_t i = lost_a; i <= highest; ++i) {
        sum += hypergeometric(i, count_a, losses, total);
    }
    return std::min(sum - 0.5 * hypergeometric(lost_a, count_a, losses, total), 1.0);
}

}  // namespace tarnvale::engines::aggregator
