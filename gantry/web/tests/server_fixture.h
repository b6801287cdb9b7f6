// Shared pieces of the HTTP server tests: a server with a few handlers, a log collector, and
// helpers for raw connections.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "gantry/log/log.h"
#include "gantry/mt/mutex.h"
#include "gantry/net/socket_error.h"
#include "gantry/net/tcp_client.h"
#include "gantry/net/tcp_server.h"
#include "gantry/net/tcp_stream.h"
#include "gantry/web/simple_http_server.h"

namespace Gantry::Web::Testing {

// Collects every log line; connected to the process-wide logger for its lifetime.
class LogCollector : public Log::Channel {
  public:
    LogCollector() { Log::logger.connect(*this); }
    ~LogCollector() override { Log::logger.disconnect(*this); }

    void log(const Log::Message& message) override {
        MT::Lock lock(mutex_);
        lines_.push_back(message);
    }
    std::vector<Log::Message> lines() const {
        MT::Lock lock(mutex_);
        return lines_;
    }
    bool contains(const std::string& text, int level = 0) const {
        for (const auto& line : lines())
            if (line.text == text && (level == 0 || line.level == level)) return true;
        return false;
    }
    size_t count_containing(const std::string& part) const {
        size_t n = 0;
        for (const auto& line : lines())
            if (line.text.find(part) != std::string::npos) ++n;
        return n;
    }

  private:
    std::vector<Log::Message> lines_ GANTRY_GUARDED_BY(mutex_);
};

// The 100-byte body of "/hello".
inline std::string hello_body() {
    return std::string(99, 'h') + "\n";
}

// "/hello": a fixed body. "/echo": method, a colon and the body back. "/fail": handler failure.
// "": the target of a '$' start line. Anything else: 404.
class HelloHandler : public URLHandler {
  public:
    HelloHandler() : URLHandler("/hello") {}
    bool handle_request(HTTPMessage&, HTTPMessage& response, const SSL::ClientDetails&) override {
        response.headers.add_header("content-type", "text/plain");
        response.body = hello_body();
        return true;
    }
};

class EchoHandler : public URLHandler {
  public:
    EchoHandler() : URLHandler("/echo*") {}
    bool handle_request(HTTPMessage& request, HTTPMessage& response,
                        const SSL::ClientDetails&) override {
        response.body = request.method + ":" + request.body;
        return true;
    }
};

class FailHandler : public URLHandler {
  public:
    FailHandler() : URLHandler("/fail") {}
    bool handle_request(HTTPMessage&, HTTPMessage&, const SSL::ClientDetails&) override {
        return false;
    }
};

class DollarHandler : public URLHandler {
  public:
    DollarHandler() : URLHandler("") {}
    bool handle_request(HTTPMessage& request, HTTPMessage& response,
                        const SSL::ClientDetails&) override {
        response.body = "method " + request.method;
        return true;
    }
};

class TestServer {
  public:
    explicit TestServer(const HTTPServer::Options& options = HTTPServer::Options())
        : server(Net::IPAddress("127.0.0.1"), 0, "gantry-test/1.0", options) {
        server.add(std::make_unique<HelloHandler>());
        server.add(std::make_unique<EchoHandler>());
        server.add(std::make_unique<FailHandler>());
        server.add(std::make_unique<DollarHandler>());
        thread = std::make_unique<Net::TCPServerThread>(server);
    }
    ~TestServer() {
        thread.reset();
        server.shutdown();
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(server.port()) + path;
    }
    Net::EndPoint end_point() const { return server.end_point(); }

    SimpleHTTPServer server;
    std::unique_ptr<Net::TCPServerThread> thread;
};

// Sends text on a fresh connection, ends the sending side, and returns everything the server
// sends until it closes.
inline std::string exchange(const Net::EndPoint& server, const std::string& text,
                            int timeout_seconds = 10) {
    Net::TCPClient client(server, 5);
    if (!client.connected()) return "<no connection>";
    client.set_timeout(timeout_seconds);
    client.write(text);
    // The server sees the end of input once it has answered what was sent.
    client.shutdown_write();
    std::string reply;
    try {
        client.read_all(reply);
    } catch (const Net::SocketError& error) {
        reply += std::string("<") + error.what() + ">";
    }
    return reply;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace Gantry::Web::Testing
