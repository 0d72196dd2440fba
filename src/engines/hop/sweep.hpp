#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "engines/answer_budgets.hpp"
#include "engines/engine.hpp"
#include "engines/hop/flow_paths.hpp"
#include "engines/hop/hop_table.hpp"
#include "engines/hop/pending_probes.hpp"
#include "engines/hop/probe_packet.hpp"
#include "engines/hop/queue_delay.hpp"
#include "engines/hop/route_watch.hpp"
#include "engines/path_loss.hpp"
#include "engines/path_route.hpp"
#include "engines/probe_network.hpp"
#include "engines/send_failures.hpp"

// The hop engine's probing loop: sweeps of TTL-limited probes, overdue probes
// counted as lost, and the reports every period.
namespace tarnvale::engines::hop {

// The hop engine as its events and log lines name it.
extern const EngineIdentity hop_engine;

inline constexpr std::chrono::milliseconds probe_spacing{100};
inline constexpr std::chrono::seconds report_period{7};
// TCP probes of the target in each sweep, once it has answered: what confirms
// a loss on the target's own link, which nothing behind it can.
inline constexpr unsigned tcp_probes_per_sweep = 2;
// The first sweeps all probe flow 0: the hop table learns each hop's router
// from flow 0's answers, and a hop whose first answer was lost would otherwise
// wait for flow 0's next turn to be named.
inline constexpr std::uint64_t first_path_sweeps = 6;
// What the hop engine's probes are called in its SEND_FAIL errors.
inline constexpr std::string_view unsent_probes = "probes";
inline constexpr std::string_view unsent_tcp_probes = "TCP probes";

struct HopShared {
    packets::IpAddress target;
    // The TTL-limited probes' flows: their source port is held for the engine while it runs.
    ProbeFlows flows;
    std::uint8_t max_hops;
    std::shared_ptr<HopTable> table;  // the path of flow 0, which hop_loss reports
    std::shared_ptr<FlowPaths> flow_paths;
    std::shared_ptr<PendingProbes> pending;
    std::shared_ptr<DelayTable> delays;
    // The engine's first probe id, drawn at random: two engines probing one
    // target from one host (a service and someone's watch) number their probes
    // far apart, as well as sending them from ports of their own.
    std::uint16_t first_probe_id;
    // The probes and echo requests the system would not send.
    std::shared_ptr<SendFailures> send_failures;
    // Confirmed since the previous report, in the order they were.
    std::shared_ptr<RouteChangeQueue> route_changes;
    // The engine's own TCP port, held for it, which its TCP probes of the
    // target leave from; none when it sends none.
    std::optional<std::uint16_t> tcp_port = std::nullopt;
    // The source address the probes leave from now, none while the host has no
    // route to the target: nothing is probed or reported then.
    std::shared_ptr<PathRoute> route = nullptr;
};

// Turns the hop table into hop_loss events and aggregator reports every period,
// after the route changes confirmed since the previous report and followed by the hops' delays, the located queue,
// the hops' unsent probes and each flow's figures; feeds the path's loss (at the furthest hop reported: the target's
// once it answers) to the attribution engine; tells the client of failed sends.
class HopReporter {
public:
    HopReporter(const HopShared& shared, EngineOutlets outlets, const ProbeNetwork& network)
        : shared_(shared),
          outlets_(std::move(outlets)),
          network_(network),
          next_(network.now() + report_period),
          path_loss_(outlets_.path_loss) {}

    bool due() const { return network_.now() >= next_; }
    asio::awaitable<void> report();
    // Sends the SEND_FAIL errors due now.
    asio::awaitable<void> tell_send_failures();
    // Looks at the route again when the host's network has changed; a probe
    // still out when the route changed has no outcome.
    asio::awaitable<void> recheck_route();

private:
    asio::awaitable<void> report_route_changes(std::uint64_t ts);

    const HopShared& shared_;
    EngineOutlets outlets_;
    const ProbeNetwork& network_;
    ProbeNetwork::Clock::time_point next_;
    QueueLocator locator_;
    PathLoss::Feed path_loss_;
    std::vector<HopStats> previous_;  // the hop table as the previous report saw it
};

// Probing sweeps, each lasting interval_ms (or as long as its probes take), with
// the reports in between, until the task is cancelled. Each sweep probes one
// flow, flow 0 in the first few and then as FlowRotation chooses, so that
// every responder is asked for an answer per sweep as with one flow. Each step sends the
// lowest TTL not yet probed in the sweep whose responder has an answer left; a
// probe that another engine's packets left without one waits for a later step,
// and one still waiting when the sweep ends is not sent: unanswered, it would
// count as loss that is not there. Once the target has answered, each sweep
// then sends it a TCP probe, when the engine has a TCP port. A sweep while the
// host has no route to the target sends nothing.
asio::awaitable<void> probe_forever(const HopShared& shared, ProbeNetwork& network, std::uint64_t interval_ms, HopReporter& reporter, AnswerBudgets& budgets);

}  // namespace tarnvale::engines::hop
