// The diagnosis over many seeded runs of its scenarios: per scenario the share
// of runs whose first degradation names the right hop and cause, the share with
// any event naming a wrong hop, the share with none, and the median and 90th
// percentile of the time from the loss reaching 15 % to the first event.
// With --queue, the queue locator over its scenarios likewise, the time being
// counted from the queue forming.
//
// Usage: tarnvale_diagnosis_sim [--queue] [--runs 1000] [--seed 1] [--only TEXT]

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "diagnosis_sim.hpp"
#include "queue_sim.hpp"

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

// Runs the scenarios whose names contain `only`, spread over the cores. Each
// scenario's seeds follow from its place in the whole list, so that a run of
// some scenarios gives the figures a run of all of them does.
template <typename Scenario, typename Run>
auto run_scenarios(std::vector<Scenario> all, const std::string& only, std::size_t runs, std::uint64_t seed,
                   Run run) {
    std::vector<Scenario> scenarios;
    std::vector<std::uint64_t> seeds;
    for (std::size_t place = 0; place < all.size(); ++place) {
        if (all[place].name.find(only) != std::string::npos) {
            scenarios.push_back(std::move(all[place]));
            seeds.push_back(seed * 1000003 + place);
        }
    }
    std::vector<decltype(run(scenarios.front(), runs, seed))> rates(scenarios.size());
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> threads;
    for (unsigned worker = 0; worker < workers; ++worker) {
        threads.emplace_back([&, worker] {
            for (std::size_t i = worker; i < scenarios.size(); i += workers) {
                rates[i] = run(scenarios[i], runs, seeds[i]);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    return std::make_pair(std::move(scenarios), std::move(rates));
}

template <typename Scenario, typename Rates>
void print_rates(const std::vector<Scenario>& scenarios, const std::vector<Rates>& rates, const char* right,
                 const char* wrong) {
    std::printf("| scenario | %s %% | %s %% | silent %% | median s | p90 s |\n", right, wrong);
    std::printf("|---|---|---|---|---|---|\n");
    for (std::size_t i = 0; i < scenarios.size(); ++i) {
        const auto& r = rates[i];
        std::printf("| %s | %.1f | %.1f | %.1f | %.0f | %.0f |\n", scenarios[i].name.c_str(),
                    percent(r.first_right, r.runs), percent(r.any_wrong, r.runs), percent(r.silent, r.runs),
                    percentile(r.delays_s, 0.5), percentile(r.delays_s, 0.9));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t runs = 1000;
    std::uint64_t seed = 1;
    std::string only;
    bool queue = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--queue") == 0) {
            queue = true;
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::strtoull(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--queue] [--runs N] [--seed S] [--only TEXT]\n", argv[0]);
            return 2;
        }
    }
    if (queue) {
        const auto [scenarios, rates] =
            run_scenarios(tarnvale::sim::queue_scenarios(), only, runs, seed, tarnvale::sim::run_queue_scenario);
        print_rates(scenarios, rates, "located right", "located wrong");
    } else {
        const auto [scenarios, rates] =
            run_scenarios(tarnvale::sim::standard_scenarios(), only, runs, seed, tarnvale::sim::run_scenario);
        print_rates(scenarios, rates, "first event right", "any event wrong");
    }
    return 0;
}
