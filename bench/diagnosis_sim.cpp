// The diagnosis over many seeded runs of the scenario files: per scenario and
// kind of event, the share of runs whose first event names the right hop and
// cause, the share with any event naming a wrong hop (any event, where none is
// due), the share with none, and the median and 90th percentile of the time
// from the fault to the first right event; then the totals over all scenarios.
//
// Usage: tarnvale_diagnosis_sim [--scenarios DIR] [--runs 1000] [--seed 1] [--only TEXT] [--events]
//   --only TEXT: the scenarios whose name or one of whose tags contains TEXT.
//   --events: each run's events instead of the table, to see why a scenario's runs go as they do.

#include "diagnosis_sim.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim_random.hpp"

namespace {

using namespace tarnvale::sim;

// Runs handed to a worker at a time: few enough to spread one scenario over the cores.
constexpr std::size_t runs_per_task = 10;

struct Options {
    std::string scenarios = TARNVALE_SCENARIOS_DIR;
    std::size_t runs = 1000;
    std::uint64_t seed = 1;
    std::string only;
    bool events = false;
};

bool selected(const ScenarioFile& scenario, const std::string& only) {
    return scenario.name.find(only) != std::string::npos ||
           std::any_of(scenario.tags.begin(), scenario.tags.end(),
                       [&](const std::string& tag) { return tag.find(only) != std::string::npos; });
}

// A scenario's runs follow from its name, so that its figures do not change
// when other files are added or left out.
std::uint64_t scenario_seed(const ScenarioFile& scenario, std::uint64_t seed) {
    std::uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
    for (const char c : scenario.name) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
    }
    return mix_seed(hash ^ mix_seed(seed));
}

// Every scenario's runs, spread over the cores in tasks of a few runs.
std::vector<ScenarioRates> run_all(const std::vector<ScenarioFile>& scenarios, const Options& options) {
    const std::size_t tasks_per_scenario = (options.runs + runs_per_task - 1) / runs_per_task;
    std::vector<ScenarioRates> rates(scenarios.size());
    std::atomic<std::size_t> next_task{0};
    std::mutex merging;
    const auto work = [&] {
        for (std::size_t task = next_task++; task < scenarios.size() * tasks_per_scenario; task = next_task++) {
            const ScenarioFile& scenario = scenarios[task / tasks_per_scenario];
            const std::uint64_t seed = scenario_seed(scenario, options.seed);
            const std::size_t first = task % tasks_per_scenario * runs_per_task;
            ScenarioRates task_rates;
            for (std::size_t run = first; run < std::min(options.runs, first + runs_per_task); ++run) {
                score_run(scenario, run_once(scenario, run_seed(seed, run)), task_rates);
            }
            const std::lock_guard lock(merging);
            for (const auto& [kind, rate] : task_rates) {
                rates[task / tasks_per_scenario][kind].add(rate);
            }
        }
    };
    std::vector<std::thread> workers;
    for (unsigned worker = 0; worker < std::max(1u, std::thread::hardware_concurrency()); ++worker) {
        workers.emplace_back(work);
    }
    for (auto& worker : workers) {
        worker.join();
    }
    return rates;
}

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

std::string percent(std::size_t part, std::size_t whole) {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f",
                  whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

std::string seconds(const std::vector<double>& delays, double share) {
    if (delays.empty()) {
        return "-";
    }
    char text[16];
    std::snprintf(text, sizeof text, "%.0f", percentile(delays, share));
    return text;
}

void print_row(const std::string& scenario, EventKind kind, bool due, const KindRates& rate) {
    std::printf("| %s | %s%s | %s | %s | %s | %s | %s |\n", scenario.c_str(), std::string(kind_name(kind)).c_str(),
                due ? "" : " (none due)", due ? percent(rate.right, rate.runs).c_str() : "-",
                percent(rate.wrong, rate.runs).c_str(), percent(rate.silent, rate.runs).c_str(),
                seconds(rate.delays_s, 0.5).c_str(), seconds(rate.delays_s, 0.9).c_str());
}

// Route changes get a row where one is due or was told of: most scenarios keep their route.
bool shown(const ScenarioFile& scenario, EventKind kind, const KindRates& rate) {
    return kind != EventKind::route_change || is_expected(scenario, kind) || rate.silent < rate.runs;
}

void print_table(const std::vector<ScenarioFile>& scenarios, const std::vector<ScenarioRates>& rates) {
    std::printf("| scenario | kind | right %% | wrong %% | silent %% | median s | p90 s |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    std::map<std::pair<EventKind, bool>, KindRates> totals;
    for (std::size_t index = 0; index < scenarios.size(); ++index) {
        for (const EventKind kind : event_kinds) {
            const KindRates& rate = rates[index].at(kind);
            const bool is_due = is_expected(scenarios[index], kind);
            totals[{kind, is_due}].add(rate);
            if (shown(scenarios[index], kind, rate)) {
                print_row(scenarios[index].name, kind, is_due, rate);
            }
        }
    }
    for (const bool is_due : {true, false}) {
        for (const EventKind kind : event_kinds) {
            if (const auto total = totals.find({kind, is_due}); total != totals.end()) {
                print_row(is_due ? "**all where due**" : "**all where none is due**", kind, is_due, total->second);
            }
        }
    }
}

void print_events(const std::vector<ScenarioFile>& scenarios, const Options& options) {
    for (const ScenarioFile& scenario : scenarios) {
        const std::uint64_t seed = scenario_seed(scenario, options.seed);
        for (std::size_t run = 0; run < options.runs; ++run) {
            const RunRecord record = run_once(scenario, run_seed(seed, run));
            std::printf("%s, run %zu:", scenario.name.c_str(), run);
            for (const auto& [kind, at_s] : record.fault_at_s) {
                std::printf(" %s fault at %.0f s;", std::string(kind_name(kind)).c_str(), at_s);
            }
            for (const RouteInForce& route : record.routes) {
                std::printf(" route from %.0f s: %zu hops;", route.from_s, route.nodes.size());
            }
            std::printf("\n");
            for (const RunEvent& event : record.events) {
                std::printf("  %7.1f s  %-12s hop %u  %s  %s\n", event.at_s,
                            std::string(kind_name(event.kind)).c_str(), event.hop, event.cause.c_str(),
                            event.detail.c_str());
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--scenarios") == 0 && has_value) {
            options.scenarios = argv[++i];
        } else if (std::strcmp(argv[i], "--runs") == 0 && has_value) {
            options.runs = std::strtoull(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--seed") == 0 && has_value) {
            options.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--only") == 0 && has_value) {
            options.only = argv[++i];
        } else if (std::strcmp(argv[i], "--events") == 0) {
            options.events = true;
        } else {
            std::fprintf(stderr, "usage: %s [--scenarios DIR] [--runs N] [--seed S] [--only TEXT] [--events]\n",
                         argv[0]);
            return 2;
        }
    }
    std::vector<ScenarioFile> scenarios;
    try {
        for (ScenarioFile& scenario : read_scenarios(options.scenarios)) {
            if (selected(scenario, options.only)) {
                scenarios.push_back(std::move(scenario));
            }
        }
    } catch (const ScenarioError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    if (options.runs == 0) {
        std::fprintf(stderr, "--runs must be a number above 0\n");
        return 2;
    }
    if (scenarios.empty()) {
        std::fprintf(stderr, "no scenario to run in %s\n", options.scenarios.c_str());
        return 1;
    }
    if (options.events) {
        print_events(scenarios, options);
        return 0;
    }
    const auto started = std::chrono::steady_clock::now();
    const auto rates = run_all(scenarios, options);
    const double wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double simulated_s = 0;
    for (const ScenarioFile& scenario : scenarios) {
        simulated_s += scenario.duration_s * static_cast<double>(options.runs);
    }
    const double all_runs = static_cast<double>(scenarios.size() * options.runs);
    std::fprintf(stderr, "%.0f runs (%.0f simulated minutes) in %.1f s on %u threads: %.1f runs/s\n", all_runs,
                 simulated_s / 60, wall_s, std::max(1u, std::thread::hardware_concurrency()), all_runs / wall_s);
    std::printf("%zu runs of each of %zu scenarios from %s, seed %llu\n\n", options.runs, scenarios.size(),
                options.scenarios.c_str(), static_cast<unsigned long long>(options.seed));
    print_table(scenarios, rates);
    return 0;
}
