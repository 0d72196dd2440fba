// The diagnosis over many seeded runs of the scenarios: per scenario the
// share of runs whose first degradation names the right hop and cause, the share
// with any event naming a wrong hop, the share with none, and the median and 90th
// percentile of the time from the loss reaching 15 % to the first event.
//
// Usage: tarnvale_diagnosis_sim [--runs 1000] [--seed 1] [--only TEXT]

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "diagnosis_sim.hpp"

namespace {

double percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

double percent(std::size_t part, std::size_t whole) {
    return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t runs = 1000;
    std::uint64_t seed = 1;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (std::strcmp(argv[i], "--only") == 0) {
            only = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--seed S] [--only TEXT]\n", argv[0]);
            return 2;
        }
    }
    // Each scenario's seeds follow from its place in the whole list, so that a
    // run of some scenarios (--only) gives the figures a run of all of them does.
    std::vector<tarnvale::sim::Scenario> scenarios;
    std::vector<std::uint64_t> seeds;
    auto all = tarnvale::sim::standard_scenarios();
    for (std::size_t place = 0; place < all.size(); ++place) {
        if (all[place].name.find(only) != std::string::npos) {
            scenarios.push_back(std::move(all[place]));
            seeds.push_back(seed * 1000003 + place);
        }
    }
    std::vector<tarnvale::sim::ScenarioRates> rates(scenarios.size());
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> threads;
    for (unsigned worker = 0; worker < workers; ++worker) {
        threads.emplace_back([&, worker] {
            for (std::size_t i = worker; i < scenarios.size(); i += workers) {
                rates[i] = tarnvale::sim::run_scenario(scenarios[i], runs, seeds[i]);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::printf("| scenario | first event right %% | any event wrong %% | silent %% | median s | p90 s |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (std::size_t i = 0; i < scenarios.size(); ++i) {
        const auto& r = rates[i];
        std::printf("| %s | %.1f | %.1f | %.1f | %.0f | %.0f |\n", scenarios[i].name.c_str(),
                    percent(r.first_right, r.runs), percent(r.any_wrong, r.runs), percent(r.silent, r.runs),
                    percentile(r.delays_s, 0.5), percentile(r.delays_s, 0.9));
    }
    return 0;
}
