// A server on 127.0.0.1 with a few handlers, and a raw exchange for what curl cannot send.
#pragma once

#include <gtest/gtest.h>

#include "gantry/net/socket_error.h"
#include "gantry/net/tcp_client.h"
#include "gantry/net/tcp_server.h"
#include "gantry/net/tcp_stream.h"
#include "gantry/web/simple_http_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Gantry::Web::Testing {

using Corvid::Testing::LogCapture;
const std::string HELLO = std::string(99, 'h') + "\n";

// "/hello": HELLO; "/echo*": method, ':' and body; "/fail": failure; "": a '$' line.
class TestHandler : public URLHandler {
  public:
    using URLHandler::URLHandler;
    bool handle_request(HTTPMessage& request, HTTPMessage& response,
                        const SSL::ClientDetails&) override {
        response.body = pattern() == "/hello" ? HELLO
                        : pattern().empty()   ? "method " + request.method
                                              : request.method + ":" + request.body;
        return pattern() != "/fail";
    }
};

struct TestServer {
    explicit TestServer(const HTTPServer::Options& options = HTTPServer::Options())
        : server(Net::IPAddress("127.0.0.1"), 0, "gantry-test/1.0", options) {
        for (const char* pattern : {"/hello", "/echo*", "/fail", ""})
            server.add(std::make_unique<TestHandler>(pattern));
        thread = std::make_unique<Net::TCPServerThread>(server);
    }
    ~TestServer() {
        thread.reset();
        server.shutdown();
    }
    std::string url(const std::string& path) const {
        return "'http://127.0.0.1:" + std::to_string(server.port()) + path + "'";
    }
    SimpleHTTPServer server;
    std::unique_ptr<Net::TCPServerThread> thread;
};

// Sends text, ends the sending side and returns all the server sends until it closes.
inline std::string raw_exchange(const TestServer& server, const std::string& text) {
    Net::TCPClient client(server.server.end_point(), 5);
    client.set_timeout(10);
    client.write(text);
    client.shutdown_write();
    std::string reply;
    try {
        client.read_all(reply);
    } catch (const Net::SocketError& error) {
        reply += std::string("<") + error.what() + ">";
    }
    return reply;
}

inline std::string status_line(const std::string& reply) {
    return reply.substr(0, reply.find("\r\n"));
}

inline std::string curl(const std::string& arguments, int* status = nullptr) {
    return Corvid::Testing::run_command("curl -s --max-time 20 " + arguments, status);
}

}  // namespace Gantry::Web::Testing
