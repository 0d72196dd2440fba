#include "ipc/listener.hpp"

#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>

#include "log/log.hpp"
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

asio::awaitable<std::shared_ptr<Connection>> accept_client(Listener listener, std::error_code& error) {
    auto [accept_error, socket] =
        co_await listener.acceptor.async_accept(asio::experimental::as_tuple(asio::use_awaitable));
    asio::error_code ignored;
    listener.acceptor.close(ignored);
    if (accept_error) {
        error = accept_error;
        co_return nullptr;
    }
    const auto peer = socket.remote_endpoint(ignored);
    log::info(log::target::ipc, "client connected",
              {{"addr", peer.address().to_string() + ":" + std::to_string(peer.port())}});
    error.clear();
    co_return std::make_shared<Connection>(std::move(socket));
}

}  // namespace tarnvale::ipc
