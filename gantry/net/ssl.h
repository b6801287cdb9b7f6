// The TLS-capable layer of the sockets. TLS itself is an interface only: a Context accepts or
// starts a TLS Connection on a descriptor, and a Connection reads, writes and names the peer's
// certificate. No implementation of either is part of this library, so in practice every socket
// here is plain TCP; the classes exist so that servers and clients are written once for both.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "gantry/net/tcp_client.h"
#include "gantry/net/tcp_server.h"
#include "gantry/net/tcp_socket.h"

namespace Gantry::SSL {

// One TLS session over a descriptor it does not own.
class Connection {
  public:
    virtual ~Connection() = default;
    // As read() and write(): a count, 0 at end of stream, -1 with errno on failure.
    virtual ssize_t read(void* buffer, size_t count) = 0;
    virtual ssize_t write(const void* buffer, size_t count) = 0;
    // Common name of the peer's certificate; empty without one.
    virtual std::string peer_common_name() const = 0;
};

class Context {
  public:
    virtual ~Context() = default;
    // Runs the server or client side of the handshake on fd; null on failure.
    virtual std::unique_ptr<Connection> accept(int fd) = 0;
    virtual std::unique_ptr<Connection> connect(int fd) = 0;
};

// Who is at the other end of a served connection.
struct ClientDetails {
    Net::EndPoint end_point;
    // Common name of the client certificate; empty without TLS.
    std::string cert_cn;
};

// A connected socket that goes through its TLS connection when it has one.
class TCPSocket : public Net::TCPSocket {
  public:
    explicit TCPSocket(int fd, std::unique_ptr<Connection> connection = nullptr)
        : Net::TCPSocket(fd), connection_(std::move(connection)) {}
    ~TCPSocket() override = default;

    ssize_t raw_read(void* buffer, size_t count) override;
    ssize_t raw_write(const void* buffer, size_t count) override;

    bool is_secure() const { return connection_ != nullptr; }
    std::string peer_common_name() const {
        return connection_ ? connection_->peer_common_name() : std::string();
    }

  private:
    std::unique_ptr<Connection> connection_;
};

// A TCP server whose connections are TLS when it has a context (not owned), plain otherwise. It
// passes each connection on to the two-argument process() with the client's details.
class TCPServer : public Net::TCPServer {
  public:
    // Seconds a client gets for the TLS handshake.
    static constexpr int HANDSHAKE_TIMEOUT = 30;

    TCPServer(Context* context, Net::IPAddress address, uint16_t port, int backlog = 5,
              unsigned minimum_spare = 1, unsigned maximum_workers = 10)
        : Net::TCPServer(address, port, backlog, minimum_spare, maximum_workers),
          context_(context) {}
    ~TCPServer() override = default;

  protected:
    void process(Net::TCPSocket& socket, const Net::EndPoint& client) final;
    std::unique_ptr<Net::TCPSocket> create_socket(int fd) final;
    // Serves one connection on a worker thread.
    virtual void process(SSL::TCPSocket& socket, const ClientDetails& client) = 0;

  private:
    Context* const context_;
};

// A client connection, over TLS when given a context (not owned).
class TCPClient : public Net::TCPClient {
  public:
    explicit TCPClient(Context* context, const Net::EndPoint& remote, int timeout = 0,
                       Net::IPAddress local_address = Net::IPAddress(Net::IPAddress::ANY),
                       uint16_t local_port = 0, int ttl = 0);
    ~TCPClient() override = default;

    ssize_t raw_read(void* buffer, size_t count) override;
    ssize_t raw_write(const void* buffer, size_t count) override;
    bool is_secure() const { return connection_ != nullptr; }

  private:
    std::unique_ptr<Connection> connection_;
};

}  // namespace Gantry::SSL
