#include "engines/attr/attr_engine.hpp"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engines/attr/accumulator.hpp"
#include "engines/attr/report_cycle.hpp"
#include "engines/attr/traffic_report.hpp"
#include "engines/capture_events.hpp"
#include "ipc/wire_names.hpp"
#include "log/log.hpp"
#include "packets/byte_order.hpp"
#include "platform/raw_sockets.hpp"
#include "platform/socket_table.hpp"
#include "runtime/blocking.hpp"

namespace tarnvale::engines::attr {

namespace {

constexpr auto target_log = log::target::attr;
// A socket whose port another process has taken since the last read of the
// tables counts to its former owner for at most this many cycles, and traffic
// no socket took waits as long for a socket to appear.
constexpr unsigned table_refresh_cycles = 5;

// Where the host's default route leaves from: the traffic worth counting goes
// that way. TEST-NET-1 (and its IPv6 counterpart) is never routed anywhere, but
// the route lookup toward it follows the default route; nothing is sent.
std::optional<packets::IpAddress> default_route_source() {
    for (const packets::IpAddress& outside : {packets::IpAddress(packets::Ipv4(0xC0000201)),  // 192.0.2.1
                                              packets::IpAddress::from_octets(
                                                  {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})}) {
        std::error_code error;
        const packets::IpAddress source = platform::source_address_for(outside, error);
        if (!error) {
            return source;
        }
    }
    return std::nullopt;
}

LocalAddresses resolve_local_addresses() {
    LocalAddresses local = platform::local_ip_addresses();
    log::info(target_log, "local interface addresses resolved", {{"count", local.size()}});
    return local;
}

// What the aggregator hears of each cycle's uploaders: every reported one, and
// each one saturating in the cycle before that no report names now (it stopped
// or fell under the reporting floor), so that no diagnosis names it for ever.
class UplinkReports {
public:
    // Processes of one name are one to the aggregator, which keeps what it
    // hears by name: their rates add up, and one saturating makes them so.
    void add(std::string_view name, const ProcessRates& rates) {
        const auto same_name = std::find_if(reports_.begin(), reports_.end(),
                                            [name](const ProcessUplinkReport& report) { return report.name == name; });
        if (same_name == reports_.end()) {
            reports_.push_back(ProcessUplinkReport{std::string(name), rates.mbps_up, rates.saturating});
            return;
        }
        same_name->mbps_up += rates.mbps_up;
        same_name->saturating = same_name->saturating || rates.saturating;
    }

    asio::awaitable<void> send(const EngineOutlets& outlets) {
        std::vector<std::string> saturating_now;
        for (const ProcessUplinkReport& report : reports_) {
            if (report.saturating) {
                saturating_now.push_back(report.name);
            }
        }
        for (const std::string& name : saturating_before_) {
            const bool reported =
                std::any_of(reports_.begin(), reports_.end(),
                            [&name](const ProcessUplinkReport& report) { return report.name == name; });
            if (!reported) {
                reports_.push_back(ProcessUplinkReport{name, 0, false});
            }
        }
        for (ProcessUplinkReport& report : reports_) {
            AggregatorReport aggregator_report = std::move(report);
            co_await outlets.reports.send(std::move(aggregator_report));
        }
        reports_.clear();
        saturating_before_ = std::move(saturating_now);
    }

private:
    std::vector<ProcessUplinkReport> reports_;
    std::vector<std::string> saturating_before_;
};

asio::awaitable<void> report_process(const ProcessRates& rates, const std::string& name, std::uint64_t ts,
                                     const EngineOutlets& outlets) {
    log::emit(log::Level::debug, target_log, "app_traffic",
              {{"pid", rates.pid},
               {"name", name},
               {"mbps_up", rates.mbps_up},
               {"mbps_down", rates.mbps_down},
               {"loss_share", rates.loss_share},
               {"saturating", rates.saturating}});
    ipc::Event event =
        ipc::AppTrafficEvent{ts, rates.pid, name, rates.mbps_up, rates.mbps_down, rates.loss_share, rates.saturating};
    co_await outlets.events.send(std::move(event));
}

// Traffic no process could be named for is still the host's: it shows as
// such, by `owner`, and a saturation diagnosis names it when it fills the uplink.
asio::awaitable<void> report_unowned(const ProcessRates& rates, std::string_view owner, std::uint64_t ts,
                                     const EngineOutlets& outlets) {
    log::emit(log::Level::debug, target_log, "unowned_traffic",
              {{"owner", owner},
               {"mbps_up", rates.mbps_up},
               {"mbps_down", rates.mbps_down},
               {"saturating", rates.saturating}});
    ipc::Event event = ipc::UnownedTrafficEvent{ts,         std::string(owner), rates.mbps_up, rates.mbps_down,
                                                rates.loss_share, rates.saturating};
    co_await outlets.events.send(std::move(event));
}

struct UnownedClass {
    ProcessBytes TrafficTally::*bytes;
    std::string_view owner;        // the event's
    std::string_view uplink_name;  // the diagnosis's
};

constexpr std::array<UnownedClass, 2> unowned_classes = {{
    {&TrafficTally::unowned, "unknown", "unidentified processes"},
    {&TrafficTally::other_namespaces, "other namespaces", "other network namespaces"},
}};

}  // namespace

asio::awaitable<void> run_attr_engine(EngineConfig config, EngineOutlets outlets) {
    log::info(target_log, "attr engine starting", {{"poll_interval_ms", config.poll_interval_ms}});
    std::uint64_t network_generation = outlets.network_generation();
    const auto local_book = std::make_shared<LocalAddressBook>(resolve_local_addresses());
    const auto default_route = std::make_shared<PathRoute>();
    default_route->update(network_generation, default_route_source());
    const auto flows = std::make_shared<FlowTable>();

    runtime::EngineThreads threads(outlets.blocking);
    // An engine that cannot count traffic would report nothing, never why.
    auto accumulate = [state = AccumulatorShared{flows, local_book, threads.stop()}](
                          const capture::ReceiverCapture& capture) { run_accumulator(state, capture); };
    if (!co_await start_receiver(outlets, {ipc::engine_name::attribution, target_log}, threads, config.interface,
                                 "attr-accumulator", "failed to spawn attr accumulator thread",
                                 std::move(accumulate), default_route)) {
        co_return;
    }

    const auto sockets = std::make_shared<platform::SocketTableReader>();
    ProcessNameCache names(platform::process_executable_path, platform::process_control_groups);
    const double interval_seconds = static_cast<double>(config.poll_interval_ms) / 1000.0;
    asio::steady_timer timer(co_await asio::this_coro::executor);
    ReportCycle cycle(std::chrono::milliseconds(config.poll_interval_ms), ReportCycle::Clock::now());
    // The last read of the socket tables, the host's and other namespaces',
    // each with the sockets closed since the read before it.
    SocketOwners known;
    SocketOwners previous_owners;
    OtherNamespaceOwners known_others;
    OtherNamespaceOwners previous_others;
    std::unordered_set<FlowKey> unmatched_at_read;
    unsigned cycles_since_read = table_refresh_cycles;
    bool told_not_readable = false;
    bool told_table_unread = false;
    bool told_other_namespaces = false;
    UplinkReports uplink;
    for (;;) {
        timer.expires_at(cycle.next_deadline());
        co_await timer.async_wait(asio::use_awaitable);
        if (const std::uint64_t now = outlets.network_generation(); now != network_generation) {
            // A new lease or another interface: the host's own end of a flow is
            // told by the addresses it has now.
            network_generation = now;
            local_book->replace(resolve_local_addresses());
            default_route->update(now, default_route_source());
        }
        const FlowSnapshot snapshot = flows->drain();
        cycle.drained(ReportCycle::Clock::now());
        const std::shared_ptr<const LocalAddresses> local = local_book->current();
        TrafficTally tally = attribute_flows(snapshot, known, *local, &known_others);
        // Reading the tables walks every socket of the system (the kernel's
        // whole connection table): with steady traffic, the engine's largest
        // cost. They are read again when a flow that no socket took at the
        // last read appears (a new socket), or when that read has aged.
        const bool new_unmatched = std::any_of(tally.unmatched.begin(), tally.unmatched.end(),
                                               [&](const FlowKey& key) { return !unmatched_at_read.contains(key); });
        if (cycles_since_read >= table_refresh_cycles || new_unmatched) {
            auto query = [sockets] {
                return std::pair(query_socket_owners(*sockets), sockets->processes_not_readable());
            };
            auto [owners, not_readable] = co_await runtime::run_blocking(outlets.blocking, std::move(query));
            if (not_readable > 0 && !told_not_readable) {
                told_not_readable = true;
                log::warn(target_log, "attr: other users' processes cannot be read; their traffic stays unnamed",
                          {{"processes", not_readable}});
            }
            // A table that could not be read leaves the cycle's bytes to the
            // owners last seen rather than dropping them.
            if (owners.empty() && !told_table_unread) {
                told_table_unread = true;
                log::warn(target_log,
                          "attr: socket table empty or unreadable; the cycle's traffic goes to the owners last seen");
            }
            known = owners;
            known.keep_recently_closed(previous_owners);
            if (!owners.empty()) {
                previous_owners = std::move(owners);
            }
            // Containers' traffic leaves through the host's interfaces: their
            // namespaces are read when the host's own sockets leave flows without one.
            if (!attribute_flows(snapshot, known, *local).unmatched.empty()) {
                auto query_others = [sockets] { return query_other_namespace_owners(*sockets); };
                OtherNamespaceOwners others =
                    co_await runtime::run_blocking(outlets.blocking, std::move(query_others));
                known_others = others;
                known_others.keep_recently_closed(previous_others);
                previous_others = std::move(others);
            }
            tally = attribute_flows(snapshot, known, *local, &known_others);
            unmatched_at_read = std::unordered_set<FlowKey>(tally.unmatched.begin(), tally.unmatched.end());
            cycles_since_read = 0;
        }
        ++cycles_since_read;
        if (tally.other_namespaces.up + tally.other_namespaces.down > 0 && !told_other_namespaces) {
            told_other_namespaces = true;
            log::warn(target_log,
                      "attr: processes of other network namespaces cannot be named; their traffic counts as other "
                      "namespaces");
        }
        const std::uint64_t ts = ipc::unix_seconds_now();
        // The path's loss as a running hop engine measures it, shared out among the uploading processes.
        const std::uint32_t loss_pct = outlets.path_loss->percent();
        for (const ProcessRates& rates : rate_processes(tally, interval_seconds, loss_pct)) {
            const std::string name = names.name_of(rates.pid);
            co_await report_process(rates, name, ts, outlets);
            uplink.add(name, rates);
        }
        for (const UnownedClass& unowned : unowned_classes) {
            if (const auto rates = rate_unowned(tally.*unowned.bytes, tally, interval_seconds, loss_pct)) {
                co_await report_unowned(*rates, unowned.owner, ts, outlets);
                uplink.add(unowned.uplink_name, *rates);
            }
        }
        co_await uplink.send(outlets);
        std::unordered_set<std::uint32_t> active;
        for (const auto& [pid, bytes] : tally.processes) {
            active.insert(pid);
        }
        names.prune(active);
    }
}

}  // namespace tarnvale::engines::attr
