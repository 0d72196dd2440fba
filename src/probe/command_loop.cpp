#include "probe/command_loop.hpp"

#include "log/fill.hpp"
#include "log/log.hpp"

namespace tarnvale::probe {

namespace {

constexpr std::string_view default_target = "8.8.8.8";

// The engine settings of a start_engine frame. Its probe_count,
// poll_interval_ms and filter are accepted and not used: those engines run
// with their defaults.
engines::EngineSettings settings_of(const ipc::CommandFrame& frame) {
    return {frame.target.value_or(std::string(default_target)), frame.interface, frame.max_hops, frame.interval_ms};
}

asio::awaitable<void> acknowledge(const ipc::EventSender& events, std::string cmd, bool ok,
                                  const char* error = nullptr) {
    ipc::Event ack = ipc::AckEvent{std::move(cmd), ok, error ? std::optional<std::string>(error) : std::nullopt};
    co_await events.send(std::move(ack));
}

}  // namespace

asio::awaitable<void> run_command_loop(ipc::Connection& connection, const ipc::EventSender& events,
                                       engines::EngineManager& manager, EngineTable& engines) {
    for (;;) {
        ipc::ReadOutcome outcome = co_await connection.read_frame();
        if (std::holds_alternative<ipc::ConnectionClosed>(outcome)) {
            log::info(log::target::probe, "connection closed by Python");
            co_return;
        }
        if (const auto* error = std::get_if<ipc::ReadError>(&outcome)) {
            log::error(log::target::probe, log::fill_message("command read error: {}", error->message));
            co_return;
        }
        if (std::holds_alternative<ipc::NoCommand>(outcome)) {
            continue;
        }
        ipc::CommandFrame& frame = std::get<ipc::CommandFrame>(outcome);
        const std::string& cmd = frame.cmd;
        if (cmd == "shutdown") {
            log::info(log::target::probe, "SHUTDOWN received");
            co_await acknowledge(events, cmd, true);
            co_return;
        }
        if (cmd == "start_engine") {
            std::string name = frame.engine.value_or("");
            auto configured = engines::configure_engine(name, settings_of(frame));
            if (const auto* refused = std::get_if<engines::SettingsRefused>(&configured)) {
                log::warn(log::target::probe, log::fill_message("start_engine refused: {}", refused->reason));
                co_await acknowledge(events, cmd, false, refused->reason.c_str());
                continue;
            }
            auto handle = manager.launch_engine(name, std::get<engines::EngineConfig>(std::move(configured)), events);
            engines.insert_or_assign(std::move(name), std::move(handle));
            co_await acknowledge(events, cmd, true);
        } else if (cmd == "stop_engine") {
            if (const auto entry = engines.find(frame.engine.value_or("")); entry != engines.end()) {
                entry->second.cancel();
                engines.erase(entry);
            }
            co_await acknowledge(events, cmd, true);
        } else if (cmd == "configure_engine") {
            // Acknowledged and without effect: an engine's settings come with its start_engine.
            co_await acknowledge(events, cmd, true);
        } else {
            log::warn(log::target::probe, log::fill_message("unknown command: {}", cmd));
            co_await acknowledge(events, cmd, false, "unknown command");
        }
    }
}

}  // namespace tarnvale::probe
