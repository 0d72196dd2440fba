#include "engines/attr/traffic_report.hpp"

namespace tarnvale::engines::attr {

namespace {

constexpr std::uint32_t idle_process = 0;
constexpr std::uint32_t system_process = 4;

}  // namespace

TrafficTally attribute_flows(const FlowSnapshot& flows, const SocketOwnerTable& owners) {
    TrafficTally tally;
    for (const auto& [key, bytes] : flows) {
        auto owner = owner_of(owners, key.addr_a, key.port_a);
        if (!owner) {
            owner = owner_of(owners, key.addr_b, key.port_b);
        }
        if (!owner || *owner == idle_process || *owner == system_process) {
            continue;
        }
        ProcessBytes& process = tally.processes[*owner];
        (key.up ? process.up : process.down) += bytes;
        (key.up ? tally.total_up : tally.total_down) += bytes;
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
    const float total_up_mbps = rate_mbps(tally.total_up, seconds);
    std::vector<ProcessRates> reported;
    for (const auto& [pid, bytes] : tally.processes) {
        ProcessRates rates{pid, rate_mbps(bytes.up, seconds), rate_mbps(bytes.down, seconds), 0, false};
        if (rates.mbps_up + rates.mbps_down < minimum_reported_mbps) {
            continue;
        }
        const float upload_part =
            tally.total_up == 0 ? 0.0F : static_cast<float>(bytes.up) / static_cast<float>(tally.total_up);
        rates.loss_share = upload_part * (static_cast<float>(loss_pct) / 100.0F);
        rates.saturating = total_up_mbps > 0 && rates.mbps_up / total_up_mbps >= saturation_share;
        reported.push_back(rates);
    }
    return reported;
}

}  // namespace tarnvale::engines::attr
