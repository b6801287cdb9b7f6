// Web::HTTPServer: an HTTP/1.0 and HTTP/1.1 server on the TLS-capable TCP server. Each connection
// is served on a pool worker: requests are read, passed to handle_request() and answered, for as
// long as the connection is persistent.
//
// Bounds (see Options): every request must arrive whole within the socket timeout; one over the
// header limits is refused with 400 and one whose body is over max_body with 413, and the
// connection is closed after either. A connection waiting for its next request is closed after
// the socket timeout, or sooner, once idle for idle_give_way, when every worker is busy and
// another client is waiting for one.
//
// Log lines: errors at error level; each request, response and persistence step at detail level.
//
// Threading: handle_request() runs concurrently on up to max_workers threads. A subclass must call
// shutdown() first in its destructor (see Net::TCPServer).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "gantry/net/ssl.h"
#include "gantry/net/tcp_stream.h"
#include "gantry/web/http_message.h"

namespace Gantry::Web {

class HTTPServer : public SSL::TCPServer {
  public:
    struct Options {
        int backlog = 5;
        unsigned minimum_spare = 1;
        unsigned max_workers = 10;
        // Send and receive timeout of each connection, in seconds; also the time a whole request
        // may take to arrive and the longest a connection may wait for its next request.
        int timeout = 90;
        // How long a connection must have been idle before it gives way to a waiting client.
        std::chrono::milliseconds idle_give_way{2000};
        HTTPLimits limits;
        // TLS context (not owned); null for plain HTTP.
        SSL::Context* tls = nullptr;
    };

    HTTPServer(Net::IPAddress address, uint16_t port, std::string server_id,
               const Options& options);
    HTTPServer(Net::IPAddress address, uint16_t port, std::string server_id, int timeout = 90);
    ~HTTPServer() override;

    // Answers one request; false makes the server send 500 "Server Failure". The response comes
    // with version, "server" and "date" headers and status 200 "OK" already set.
    virtual bool handle_request(HTTPMessage& request, HTTPMessage& response,
                                const SSL::ClientDetails& client) = 0;

    // Logs "HTTP error: <code> <reason>", sets the status and returns true. Adds no body.
    static bool error(HTTPMessage& response, int code, const std::string& reason);

    const std::string& server_id() const { return server_id_; }
    const Options& options() const { return options_; }

  protected:
    // Serves requests on one connection until it closes; see the header comment.
    void process(SSL::TCPSocket& socket, const SSL::ClientDetails& client) override;
    // Called after each connection has finished; does nothing by default.
    virtual void connection_finished(const SSL::ClientDetails& client);

  private:
    // Waits for the first byte of the next request; false when the connection should close
    // instead (timeout, or giving way to a waiting client).
    bool wait_for_request(Net::TCPSocket& socket, const SSL::ClientDetails& client);
    // Sends an error response to a request that could not be read, then closes gently.
    void refuse(Net::TCPSocket& socket, Net::TCPStream& stream, const HTTPMessage& request,
                int code, const std::string& reason);

    const std::string server_id_;
    const Options options_;
};

// The current time as an HTTP date, e.g. "Sun, 06 Nov 1994 08:49:37 GMT".
std::string http_date();
std::string http_date(time_t when);

}  // namespace Gantry::Web
