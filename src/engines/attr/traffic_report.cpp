#include "engines/attr/traffic_report.hpp"


namespace tarnvale::engines::attr {

namespace {

constexpr std::uint32_t no_known_owner = 0;
constexpr std::uint32_t system_process = 4;

void add(ProcessBytes& counted, bool up, std::uint64_t bytes) { (up ? counted.up : counted.down) += bytes; }

ProcessRates rates_of(std::uint32_t pid, const ProcessBytes& bytes, const TrafficTally& tally, double seconds,
                      std::uint32_t loss_pct) {
    ProcessRates rates{pid, rate_mbps(bytes.up, seconds), rate_mbps(bytes.down, seconds), 0, false};
    const float total_up_mbps = rate_mbps(tally.total_up, seconds);
    const float upload_part =
        tally.total_up == 0 ? 0.0F : static_cast<float>(bytes.up) / static_cast<float>(tally.total_up);
    rates.loss_share = upload_part * (static_cast<float>(loss_pct) / 100.0F);
    rates.saturating = total_up_mbps > 0 && rates.mbps_up / total_up_mbps >= saturation_share;
    return rates;
}

bool worth_reporting(const ProcessRates& rates) { return rates.mbps_up + rates.mbps_down >= minimum_reported_mbps; }

}  // namespace

TrafficTally attribute_flows(const FlowSnapshot& flows, const SocketOwners& owners, const LocalAddresses& local,
                             const OtherNamespaceOwners* others) {
    TrafficTally tally;
    for (const auto& [key, bytes] : flows) {
        (key.up ? tally.total_up : tally.total_down) += bytes;
        auto owner = owners.owner_of(key, local);
        ProcessBytes* unknown_owner = &tally.unowned;
        if (!owner && others != nullptr) {
            if (const auto other = others->owner_of(key, local)) {
                owner = other;
                unknown_owner = &tally.other_namespaces;
            }
        }
        if (!owner) {
            tally.unmatched.push_back(key);
        }
        const std::uint32_t pid = owner.value_or(no_known_owner);
        if (pid == system_process) {
            continue;
        }
        add(pid == no_known_owner ? *unknown_owner : tally.processes[pid], key.up, bytes);
    }
    return tally;
}

float rate_mbps(std::uint64_t bytes, double seconds) {
    if (!(seconds > 0)) {
        return 0;
    }
    return static_cast<float>(static_cast<double>(bytes) * 8.0 / seconds / 1'000'000.0);
}

std::vector<ProcessRates> rate_processes(const TrafficTally& tally, double seconds, std::uint32_t loss_pct) {
    std::vector<ProcessRates> reported;
    for (const auto& [pid, bytes] : tally.processes) {
        const ProcessRates rates = rates_of(pid, bytes, tally, seconds, loss_pct);
        if (worth_reporting(rates)) {
            reported.push_back(rates);
        }
    }
    return reported;
}

std::optional<ProcessRates> rate_unowned(const ProcessBytes& bytes, const TrafficTally& tally, double seconds,
                                         std::uint32_t loss_pct) {
    const ProcessRates rates = rates_of(no_known_owner, bytes, tally, seconds, loss_pct);
    return worth_reporting(rates) ? std::optional(rates) : std::nullopt;
}

}  // namespace tarnvale::engines::attr
