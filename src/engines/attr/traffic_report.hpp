#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "engines/attr/flow_table.hpp"
#include "engines/attr/socket_owners.hpp"

// One reporting cycle's arithmetic: flows to processes, bytes to rates.
namespace tarnvale::engines::attr {

inline constexpr float minimum_reported_mbps = 0.1F;
inline constexpr float saturation_share = 0.4F;

struct ProcessBytes {
    std::uint64_t up = 0;
    std::uint64_t down = 0;
};

struct TrafficTally {
    std::unordered_map<std::uint32_t, ProcessBytes> processes;
    ProcessBytes unowned;  // no socket takes the flow, or its socket's owner is not known
    ProcessBytes other_namespaces;  // a socket of another network namespace whose owner is not known
    std::vector<FlowKey> unmatched;  // the flows no socket takes, of the host or (when given) other namespaces
    // Every counted byte, the system's (process 4) included.
    std::uint64_t total_up = 0;
    std::uint64_t total_down = 0;
};

// Each flow goes to the owner of the host's socket connected to its two
// endpoints (either way round), else of the listening socket on the endpoint
// that is one of the host's `local` addresses, else (with `others`, when the
// host has no socket for it) of another namespace's socket that takes it.
// Flows of the system (process 4) are left out; those whose owner is not
// known (none, or process 0) are counted as unowned, or as other namespaces'
// when a socket of another namespace takes them.
TrafficTally attribute_flows(const FlowSnapshot& flows, const SocketOwners& owners, const LocalAddresses& local,
                             const OtherNamespaceOwners* others = nullptr);

// Megabits per second over an interval of `seconds`; 0 when it is not positive.
float rate_mbps(std::uint64_t bytes, double seconds);

struct ProcessRates {
    std::uint32_t pid = 0;
    float mbps_up = 0;
    float mbps_down = 0;
    float loss_share = 0;
    bool saturating = false;  // at least 0.4 of the cycle's whole upload rate
};

// The processes worth reporting (at least 0.1 Mbps up and down together), in
// the tally's order. `loss_pct` is shared out by each process's part of the
// uploaded bytes.
std::vector<ProcessRates> rate_processes(const TrafficTally& tally, double seconds, std::uint32_t loss_pct);

// The rates of bytes no process is named for (one of the tally's unowned
// counts) as a process's, with pid 0, when worth reporting.
std::optional<ProcessRates> rate_unowned(const ProcessBytes& bytes, const TrafficTally& tally, double seconds,
                                         std::uint32_t loss_pct);

}  // namespace tarnvale::engines::attr
