#include "engines/engine.hpp"

#include "engines/probe_network.hpp"
#include "ipc/wire_names.hpp"
#include "log/fill.hpp"
#include "log/log.hpp"
#include "platform/network_changes.hpp"
#include "platform/raw_sockets.hpp"
#include "runtime/blocking.hpp"

namespace tarnvale::engines {

asio::awaitable<std::optional<packets::IpAddress>> resolve_target(const EngineOutlets& outlets, std::string target,
                                                                  std::string_view engine,
                                                                  std::string no_target_message) {
    // Named, not built inside the co_await: GCC 12 can destroy such a temporary twice.
    auto resolve = [target = std::move(target)] { return platform::resolve_address(target); };
    const auto address = co_await runtime::run_blocking(outlets.blocking, std::move(resolve));
    if (!address) {
        co_await send_fatal_error(outlets, engine, ipc::error_code::no_target, std::move(no_target_message));
    }
    co_return address;
}

asio::awaitable<std::optional<packets::IpAddress>> find_source(const EngineOutlets& outlets,
                                                               const ProbeNetwork& network, EngineIdentity engine,
                                                               const packets::IpAddress& target) {
    std::error_code error;
    const packets::IpAddress source = network.source_for(target, error);
    if (!error) {
        co_return source;
    }
    const std::string target_text = packets::to_text(target);
    log::error(engine.log_target, "no route to the target", {{"target", target_text}, {"err", error.message()}});
    std::string message = log::fill_message("no route to {}: {}", target_text, error.message());
    co_await send_fatal_error(outlets, engine.name, ipc::error_code::no_route, std::move(message));
    co_return std::nullopt;
}

asio::awaitable<PathRoute::Change> recheck_route(const EngineOutlets& outlets, const ProbeNetwork& network,
                                                 EngineIdentity engine, const packets::IpAddress& target,
                                                 PathRoute& route) {
    const std::uint64_t generation = outlets.network_generation();
    if (!route.due(generation)) {
        co_return PathRoute::Change::none;
    }
    const std::optional<packets::IpAddress> before = route.source();
    std::error_code error;
    const packets::IpAddress source = network.source_for(target, error);
    if (!error && platform::is_link_local_address(source)) {
        // An IPv6 host between two leases keeps its route but only its
        // link-local address, which nothing beyond the link answers.
        error = std::make_error_code(std::errc::address_not_available);
    }
    const PathRoute::Change change = route.update(generation, error ? std::nullopt : std::optional(source));
    const std::string target_text = packets::to_text(target);
    std::string_view status = ipc::path_status::restored;
    std::string detail;
    switch (change) {
        case PathRoute::Change::none:
            co_return change;
        case PathRoute::Change::lost:
            log::warn(engine.log_target, "no route to the target; measuring again once there is one",
                      {{"target", target_text}, {"err", error.message()}});
            status = ipc::path_status::no_route;
            detail = log::fill_message("no route to {}: {}", target_text, error.message());
            break;
        case PathRoute::Change::restored:
            log::info(engine.log_target, "route to the target restored",
                      {{"target", target_text}, {"source", packets::to_text(source)}});
            detail = log::fill_message("measuring {} again from {}", target_text, packets::to_text(source));
            break;
        case PathRoute::Change::moved:
            log::info(engine.log_target, "source address changed",
                      {{"target", target_text}, {"old", packets::to_text(*before)}, {"new", packets::to_text(source)}});
            detail = log::fill_message("measuring {} from {} now, no longer from {}", target_text,
                                       packets::to_text(source), packets::to_text(*before));
            break;
    }
    ipc::Event event = ipc::PathStatusEvent{network.unix_seconds(), std::string(engine.name), std::string(status),
                                            std::move(detail)};
    co_await outlets.events.send(std::move(event));
    co_return change;
}

asio::awaitable<std::optional<platform::ReservedPort>> hold_udp_port(const EngineOutlets& outlets,
                                                                     EngineIdentity engine,
                                                                     const packets::IpAddress& target) {
    std::error_code error;
    platform::ReservedPort held = platform::reserve_port(platform::Transport::udp, !target.is_v4(), error);
    if (!error) {
        co_return held;
    }
    log::error(engine.log_target, "failed to reserve a UDP port", {{"err", error.message()}});
    std::string message = log::fill_message("UDP port reservation failed: {}", error.message());
    co_await send_fatal_error(outlets, engine.name, ipc::error_code::socket_create_fail, std::move(message));
    co_return std::nullopt;
}

asio::awaitable<bool> start_thread(const EngineOutlets& outlets, EngineIdentity engine, runtime::EngineThreads& threads,
                                   std::string_view thread_name, std::string_view failure, std::function<void()> body) {
    const std::error_code error = threads.spawn(std::string(thread_name), std::move(body));
    if (!error) {
        co_return true;
    }
    log::error(engine.log_target, failure, {{"err", error.message()}});
    std::string message = log::fill_message("{}: {}", failure, error.message());
    co_await send_fatal_error(outlets, engine.name, ipc::error_code::thread_start_fail, std::move(message));
    co_return false;
}

asio::awaitable<void> send_error(const EngineOutlets& outlets, std::string_view engine, std::string_view code,
                                 std::string message, bool fatal) {
    ipc::Event error =
        ipc::ErrorEvent{ipc::unix_seconds_now(), std::string(engine), std::string(code), std::move(message), fatal};
    co_await outlets.events.send(std::move(error));
}

asio::awaitable<void> send_fatal_error(const EngineOutlets& outlets, std::string_view engine, std::string_view code,
                                       std::string message) {
    co_await send_error(outlets, engine, code, std::move(message), true);
}

}  // namespace tarnvale::engines
