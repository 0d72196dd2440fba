// How often the bandwidth estimator flags the right hops as bottlenecks, over
// seeded simulated sweeps of a four-hop path: trains of ten 1400-byte packets
// 5 ms apart whose first two answers give a sample, a sender and a receiver
// that now and then wake late (as on a busy host), and per scenario either nothing, a slow link after hop 2, or a router
// at hop 3 that holds its answers 20-50 ms at random.
//
//   tarnvale_bottleneck_sim [--runs N] [--seed S] [--kernel-time-stamps] [--busy]
//
// With --kernel-time-stamps the receiver's late wake-ups no longer move the
// answers' arrivals (they come from the capture's time stamps); the sender's
// still move its packets.
//
// Per scenario and number of trains per hop: right (exactly the expected hops
// flagged), wrong (a hop flagged that should not be) and silent (a bottleneck
// there, none flagged).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engines/bandwidth/estimator.hpp"

namespace {

using namespace tarnvale::engines::bandwidth;
using Milliseconds = std::chrono::duration<double, std::milli>;

constexpr int hops = 4;
constexpr int packets_per_train = 10;
constexpr double packet_spacing_ms = 5.0;

struct Scenario {
    const char* name;
    std::optional<double> link_mbps_after_hop_2;
    bool slow_router_at_hop_3;
};

// How often a wake-up is late, and by how much at most: 5 % by up to 3 ms, or
// on a busy host (--busy: sanitizer builds and parallel tests on two cores)
// 15 % by up to 8 ms.
struct Lateness {
    double share = 0.05;
    double most_ms = 3.0;
};
Lateness lateness;

double late_wake(std::mt19937_64& random) {
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_real_distribution<double> late(0.0, lateness.most_ms);
    return chance(random) < lateness.share ? late(random) : std::uniform_real_distribution<double>(0.0, 0.05)(random);
}

// The receiver's arrival times of the first two answers from `hop` to one train.
std::vector<Instant> train_answers(const Scenario& scenario, int hop, bool kernel_time_stamps,
                                   std::mt19937_64& random) {
    std::vector<double> at_hop;
    double link_free = 0.0;
    for (int index = 0; index < packets_per_train; ++index) {
        double sent = packet_spacing_ms * index + late_wake(random);
        if (scenario.link_mbps_after_hop_2 && hop >= 3) {
            // The link sends one packet after another at its rate.
            sent = std::max(sent, link_free);
            link_free = sent + bits_per_packet / (*scenario.link_mbps_after_hop_2 * 1000.0);
        }
        at_hop.push_back(sent);
    }
    std::vector<double> received;
    for (const double at : at_hop) {
        double answer = at;
        if (scenario.slow_router_at_hop_3 && hop == 3) {
            answer += std::uniform_real_distribution<double>(20.0, 50.0)(random);
        }
        received.push_back(kernel_time_stamps ? answer : answer + late_wake(random));
    }
    // The receiver takes a train's sample from its first two answers.
    std::sort(received.begin(), received.end());
    received.resize(2);
    std::vector<Instant> arrivals;
    for (const double at : received) {
        arrivals.push_back(Instant{} + std::chrono::duration_cast<Instant::duration>(Milliseconds(at)));
    }
    return arrivals;
}

// The hops flagged after `trains` trains to every hop.
std::set<int> flagged_hops(const Scenario& scenario, int trains, bool kernel_time_stamps, std::mt19937_64& random) {
    std::vector<std::vector<double>> samples(hops + 1);
    for (int hop = 1; hop <= hops; ++hop) {
        for (int train = 0; train < trains; ++train) {
            if (const auto sample = spacing_sample(train_answers(scenario, hop, kernel_time_stamps, random))) {
                samples[static_cast<std::size_t>(hop)].push_back(*sample);
            }
        }
    }
    BaselineCell baseline;
    std::set<int> flagged;
    for (int hop = 1; hop <= hops; ++hop) {
        const auto index = static_cast<std::size_t>(hop);
        const auto estimate =
            estimate_hop(static_cast<std::uint8_t>(hop), samples[index], samples[index - 1], baseline);
        if (estimate && estimate->bottleneck) {
            flagged.insert(hop);
        }
    }
    return flagged;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 1000;
    unsigned long seed = 1;
    bool kernel_time_stamps = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--busy") == 0) {
            lateness = Lateness{0.15, 8.0};
        } else if (std::strcmp(argv[i], "--kernel-time-stamps") == 0) {
            kernel_time_stamps = true;
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            seed = std::strtoul(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--seed S] [--kernel-time-stamps] [--busy]\n", argv[0]);
            return 2;
        }
    }
    const Scenario scenarios[] = {
        {"even path", std::nullopt, false},
        {"0.5 Mbit/s link after hop 2", 0.5, false},
        {"0.8 Mbit/s link after hop 2", 0.8, false},
        {"router at hop 3 slow to answer", std::nullopt, true},
    };
    std::printf("%-32s %6s %7s %7s %7s\n", "scenario", "trains", "right", "wrong", "silent");
    for (const auto& scenario : scenarios) {
        const std::set<int> expected =
            scenario.link_mbps_after_hop_2 ? std::set<int>{3} : std::set<int>{};
        for (const int trains : {3, 30}) {
            std::mt19937_64 random(seed);
            int right = 0;
            int wrong = 0;
            int silent = 0;
            for (int run = 0; run < runs; ++run) {
                const auto flagged = flagged_hops(scenario, trains, kernel_time_stamps, random);
                if (flagged == expected) {
                    ++right;
                } else if (std::any_of(flagged.begin(), flagged.end(),
                                       [&expected](int hop) { return !expected.contains(hop); })) {
                    ++wrong;
                } else {
                    ++silent;
                }
            }
            std::printf("%-32s %6d %7d %7d %7d\n", scenario.name, trains, right, wrong, silent);
        }
    }
    return 0;
}
