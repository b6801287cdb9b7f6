#include "gantry/net/ssl.h"

#include <cerrno>

namespace Gantry::SSL {

namespace {

template <class Call>
ssize_t retry_on_eintr(Call call) {
    ssize_t result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

}  // namespace

ssize_t TCPSocket::raw_read(void* buffer, size_t count) {
    if (!connection_) return Net::TCPSocket::raw_read(buffer, count);
    return retry_on_eintr([&] { return connection_->read(buffer, count); });
}

ssize_t TCPSocket::raw_write(const void* buffer, size_t count) {
    if (!connection_) return Net::TCPSocket::raw_write(buffer, count);
    return retry_on_eintr([&] { return connection_->write(buffer, count); });
}

std::unique_ptr<Net::TCPSocket> TCPServer::create_socket(int fd) {
    if (!context_) return std::make_unique<SSL::TCPSocket>(fd);
    // The handshake is bounded so that a silent client cannot hold the worker.
    Net::TCPSocket plain(fd);
    plain.set_timeout(HANDSHAKE_TIMEOUT);
    std::unique_ptr<Connection> connection = context_->accept(fd);
    plain.set_timeout(0);
    plain.release();  // the caller closes fd when we return null
    if (!connection) return nullptr;
    return std::make_unique<SSL::TCPSocket>(fd, std::move(connection));
}

void TCPServer::process(Net::TCPSocket& socket, const Net::EndPoint& client) {
    // create_socket() is final here, so every socket is one of ours.
    auto& secure = static_cast<SSL::TCPSocket&>(socket);
    process(secure, ClientDetails{client, secure.peer_common_name()});
}

TCPClient::TCPClient(Context* context, const Net::EndPoint& remote, int timeout,
                     Net::IPAddress local_address, uint16_t local_port, int ttl)
    : Net::TCPClient(remote, timeout, local_address, local_port, ttl) {
    if (!context || !connected()) return;
    connection_ = context->connect(fd());
    if (!connection_) {
        close();
        set_connected(false);
    }
}

ssize_t TCPClient::raw_read(void* buffer, size_t count) {
    if (!connection_) return Net::TCPClient::raw_read(buffer, count);
    return retry_on_eintr([&] { return connection_->read(buffer, count); });
}

ssize_t TCPClient::raw_write(const void* buffer, size_t count) {
    if (!connection_) return Net::TCPClient::raw_write(buffer, count);
    return retry_on_eintr([&] { return connection_->write(buffer, count); });
}

}  // namespace Gantry::SSL
