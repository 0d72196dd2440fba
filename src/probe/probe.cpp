#include "probe/probe.hpp"

#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <cstdio>

#include "engines/manager.hpp"
#include "engines/network_watch.hpp"
#include "ipc/client_owner.hpp"
#include "ipc/handshake.hpp"
#include "ipc/listener.hpp"
#include "ipc/writer.hpp"
#include "log/fill.hpp"
#include "log/log.hpp"
#include "platform/files.hpp"
#include "platform/process.hpp"
#include "platform/socket_table.hpp"
#include "probe/command_loop.hpp"
#include "probe/engine_facts.hpp"
#include "probe/port_argument.hpp"
#include "probe/startup_error.hpp"
#include "probe/watchdog.hpp"
#include "runtime/fail_fast.hpp"

namespace tarnvale::probe {

namespace {

int report_startup_failure(const StartupError& error) {
    const std::string text = describe(error);
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    return 1;
}

// The handshake, the command loop and the exit sequence.
asio::awaitable<int> serve_client(runtime::Runtime& runtime, std::shared_ptr<ipc::Connection> connection) {
    const engines::HostNetwork host_network;
    const ipc::HandshakeResult handshake = co_await ipc::perform_handshake(*connection, engine_facts());
    if (const auto* failure = std::get_if<ipc::HandshakeFailure>(&handshake)) {
        co_return report_startup_failure({"handshake failed", failure->message});
    }
    const std::uint32_t client_pid = std::get<std::uint32_t>(handshake);

    const auto executor = runtime.io().get_executor();
    auto event_queue = runtime::make_bounded_queue<ipc::Event>(executor, ipc::event_queue_capacity);
    const ipc::EventSender events(event_queue);
    auto writer_stop = std::make_shared<ipc::WriterStop>(connection->strand());
    auto writer_done = runtime::make_bounded_queue<std::monostate>(executor, 1);
    asio::co_spawn(connection->strand(), ipc::run_writer(event_queue, writer_stop, connection),
                   [writer_done](std::exception_ptr) { writer_done->try_send(asio::error_code{}, std::monostate{}); });

    engines::EngineManager manager(executor, runtime.blocking_pool().get_executor(), host_network.generation());
    EngineTable engines;
    start_watchdog(executor, client_pid, events);

    co_await run_command_loop(*connection, events, manager, engines);

    for (auto& [name, handle] : engines) {
        handle.cancel();
    }
    engines.clear();
    writer_stop->fire();
    co_await writer_done->async_receive(asio::experimental::as_tuple(asio::use_awaitable));
    log::info(log::target::probe, "tarnvale_probe exiting cleanly");
    co_return 0;
}

}  // namespace

asio::awaitable<int> run_probe(runtime::Runtime& runtime, std::optional<std::string_view> port_argument) {
    const std::uint32_t own_pid = platform::current_process_id();

    std::error_code error;
    auto log_path = platform::temp_directory() / log::fill_message("tv_{}.log", own_pid);
    platform::RecordFile log_file = platform::RecordFile::create_truncated(log_path, error);
    // In a shared temporary folder another user's file may hold the name, left
    // by an earlier process with this pid: the log goes beside it.
    for (int other = 1; error == std::errc::file_exists && other <= 3; ++other) {
        log_path = platform::temp_directory() / log::fill_message("tv_{}-{}.log", own_pid, other);
        log_file = platform::RecordFile::create_truncated(log_path, error);
    }
    if (error) {
        co_return report_startup_failure({"failed to create log file", error.message()});
    }
    log::install(log_path, std::move(log_file));
    log::info(log::target::probe, log::fill_message("tarnvale_probe starting, pid={}", own_pid));

    const std::uint16_t requested_port = parse_port_argument(port_argument);
    auto listener = ipc::bind_listener(runtime.io(), requested_port, error);
    if (!listener) {
        co_return report_startup_failure({"failed to bind IPC socket", error.message()});
    }
    const std::uint16_t port = listener->port;
    if (const auto write_error = platform::write_standard_output(log::fill_message("READY port={}\n", port))) {
        runtime::fail_fast("failed printing to stdout: " + write_error.message());
    }
    log::info(log::target::probe, log::fill_message("waiting for Python client on port={}", port));

    auto owners = ipc::owner_processes(own_pid, platform::parent_process_id);
    if (owners.empty() && !platform::peers_may_lack_owners()) {
        log::error(log::target::ipc, "cannot tell which process started the probe: no client will be accepted");
    }
    const auto connection = co_await ipc::accept_client(std::move(*listener), std::move(owners), error);
    if (!connection) {
        co_return report_startup_failure({"failed to accept IPC connection", error.message()});
    }
    // The conversation runs on the connection's strand, where its reads and the
    // writer's writes are made.
    co_return co_await asio::co_spawn(connection->strand(), serve_client(runtime, connection), asio::use_awaitable);
}

}  // namespace tarnvale::probe
