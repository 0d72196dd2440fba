#include "ipc/listener.hpp"

#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <algorithm>
#include <string>

#include "ipc/client_owner.hpp"
#include "log/log.hpp"
#include "platform/socket_table.hpp"
#include "platform/sockets.hpp"

namespace tarnvale::ipc {

std::optional<Listener> bind_listener(asio::io_context& io, std::uint16_t port, std::error_code& error) {
    const asio::ip::tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), port);
    asio::ip::tcp::acceptor acceptor(io);
    asio::error_code asio_error;
    acceptor.open(endpoint.protocol(), asio_error);
    if (!asio_error && platform::listener_reuses_address) {
        acceptor.set_option(asio::socket_base::reuse_address(true), asio_error);
    }
    if (!asio_error) {
        acceptor.bind(endpoint, asio_error);
    }
    if (!asio_error) {
        acceptor.listen(128, asio_error);
    }
    asio::ip::tcp::endpoint bound;
    if (!asio_error) {
        bound = acceptor.local_endpoint(asio_error);
    }
    if (asio_error) {
        error = asio_error;
        return std::nullopt;
    }
    error.clear();
    log::info(log::target::ipc, "TCP listener bound", {{"port", bound.port()}});
    return Listener{std::move(acceptor), bound.port()};
}

asio::awaitable<std::shared_ptr<Connection>> accept_client(Listener listener, std::vector<std::uint32_t> owners,
                                                           std::error_code& error) {
    for (;;) {
        auto [accept_error, socket] =
            co_await listener.acceptor.async_accept(asio::experimental::as_tuple(asio::use_awaitable));
        if (accept_error) {
            asio::error_code ignored;
            listener.acceptor.close(ignored);
            error = accept_error;
            co_return nullptr;
        }
        asio::error_code ignored;
        const auto peer = socket.remote_endpoint(ignored);
        const std::string address = peer.address().to_string() + ":" + std::to_string(peer.port());
        const auto peer_pid = loopback_peer_process(peer);
        const bool owner = peer_pid && std::find(owners.begin(), owners.end(), *peer_pid) != owners.end();
        // Under Wine a Linux client has no Windows process: nothing can be checked (pid 0 below).
        const bool unknowable = platform::peers_may_lack_owners() && (!peer_pid || owners.empty());
        if (!owner && !unknowable) {
            log::warn(log::target::ipc, "connection refused: not from the process that started the probe",
                      {{"pid", peer_pid.value_or(0)}, {"addr", address}});
            socket.close(ignored);
            continue;
        }
        listener.acceptor.close(ignored);
        log::info(log::target::ipc, "client connected", {{"addr", address}, {"pid", peer_pid.value_or(0)}});
        error.clear();
        co_return std::make_shared<Connection>(std::move(socket));
    }
}

}  // namespace tarnvale::ipc
