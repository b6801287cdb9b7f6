// Shared pieces of the HTTP server tests: a server with a few handlers on 127.0.0.1, and a raw
// exchange for what curl cannot be made to send.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "gantry/net/socket_error.h"
#include "gantry/net/tcp_client.h"
#include "gantry/net/tcp_server.h"
#include "gantry/net/tcp_stream.h"
#include "gantry/web/simple_http_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Gantry::Web::Testing {

using Corvid::Testing::LogCapture;

// The 100-byte body of "/hello".
inline std::string hello_body() {
    return std::string(99, 'h') + "\n";
}

// "/hello": a fixed body. "/echo*": method, a colon and the body back. "/fail": handler failure.
// "": the target of a '$' start line. Anything else: 404.
class TestHandler : public URLHandler {
  public:
    using URLHandler::URLHandler;
    bool handle_request(HTTPMessage& request, HTTPMessage& response,
                        const SSL::ClientDetails&) override {
        if (pattern() == "/fail") return false;
        if (pattern() == "/hello") response.headers.add_header("content-type", "text/plain");
        response.body = pattern() == "/hello" ? hello_body()
                        : pattern().empty()   ? "method " + request.method
                                              : request.method + ":" + request.body;
        return true;
    }
};

class TestServer {
  public:
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
        return Corvid::Testing::shell_quote("http://127.0.0.1:" + std::to_string(server.port()) +
                                            path);
    }
    Net::EndPoint end_point() const { return server.end_point(); }

    SimpleHTTPServer server;
    std::unique_ptr<Net::TCPServerThread> thread;
};

// Sends text on a fresh connection, ends the sending side (the server sees the end of input
// once it has answered what was sent), and returns everything the server sends until it closes.
inline std::string exchange(const Net::EndPoint& server, const std::string& text) {
    Net::TCPClient client(server, 5);
    if (!client.connected()) return "<no connection>";
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

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs curl quietly on the given arguments and returns its standard output.
inline std::string curl(const std::string& arguments, int* status = nullptr) {
    return Corvid::Testing::run_command("curl -s --max-time 20 " + arguments, status);
}

// Waits up to two seconds for a log line that is written after the reply went out.
inline void wait_for_log(const LogCapture& log, const std::string& text) {
    for (int i = 0; i < 200 && !log.contains(text); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace Gantry::Web::Testing
