// The server on 127.0.0.1 against curl, and raw sockets for what curl cannot send, including the
// bounds that keep clients from taking unbounded memory or workers.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <deque>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "gantry/net/socket_error.h"
#include "gantry/net/tcp_client.h"
#include "gantry/net/tcp_server.h"
#include "gantry/net/tcp_stream.h"
#include "gantry/web/simple_http_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Gantry::Web {
namespace {

using Corvid::Testing::LogCapture;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
const std::string HELLO = std::string(99, 'h') + "\n";
const auto status_line = [](const std::string& r) { return r.substr(0, r.find("\r\n")); };

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
    }
    std::string url(const std::string& path) const {
        return "'http://127.0.0.1:" + std::to_string(server.port()) + path + "'";
    }
    SimpleHTTPServer server;
    Net::TCPServerThread thread{server};  // stopped before the server shuts down
};

std::string raw_exchange(const TestServer& server, const std::string& text) {
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

std::string curl(const std::string& arguments) {
    return Corvid::Testing::run_command("curl -s --max-time 20 " + arguments);
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// Three URLs in one curl run share a connection only when the server keeps it open.
TEST(HTTPServerTest, CurlSeesPersistenceHeadersAndDate) {
    CORVID_REQUIRE_PROGRAM("curl");
    const struct {
        std::string version, options, log_line;
        size_t keep_alive_headers, reused;
    } cases[] = {{"HTTP/1.0", "-0", "3 HTTP/1.0 non-persistent connection", 0, 0},
                 {"HTTP/1.0", "-0 -H 'Connection: keep-alive'",
                  "3 HTTP/1.0 persistent connection started", 3, 2},
                 {"HTTP/1.1", "", "3 HTTP/1.1 persistent connection started", 0, 2}};
    for (const auto& c : cases) {
        LogCapture log;
        TestServer server;
        const std::string output = curl("-v -i " + c.options + " " + server.url("/hello") + " " +
                                        server.url("/echo") + " " + server.url("/hello") + " 2>&1");
        const time_t now = ::time(nullptr);
        EXPECT_EQ(count(output, "< " + c.version + " 200 OK"), 3u) << output;
        EXPECT_EQ(count(output, "< Connection: Keep-Alive"), c.keep_alive_headers) << output;
        EXPECT_EQ(count(output, "Re-using existing connection"), c.reused) << output;
        EXPECT_EQ(count(output, "< Server: gantry-test/1.0\r\n"), 3u) << output;
        EXPECT_GT(count(output, "< Date: " + http_date(now) + "\r\n") +
                      count(output, "< Date: " + http_date(now - 1) + "\r\n"),
                  0u);
        EXPECT_TRUE(log.has_line(c.log_line));
        EXPECT_EQ(log.count(" continues"), c.reused);
    }
    EXPECT_EQ(http_date(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
}

TEST(HTTPServerTest, StatusesHeadStartLinesAndPipelining) {
    CORVID_REQUIRE_PROGRAM("curl");
    LogCapture log;
    TestServer server;
    // Patterns match the path only, case-sensitively.
    for (const std::string c : {"/nowhere 404 Not found", "/HELLO 404 Not found",
                                "/hello?x=1#f 200 OK", "/fail 500 Server Failure"})
        EXPECT_EQ(status_line(curl("-i " + server.url(c.substr(0, c.find(' '))))),
                  "HTTP/1.1" + c.substr(c.find(' ')))
            << c;

    const std::string head = raw_exchange(server, "HEAD /hello HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(head.ends_with("\r\nContent-Length: 100\r\n\r\n")) << head;
    // A '$' line ends the request at once and reaches the "" handler.
    const std::string dollar = raw_exchange(server, "$ping\r\n");
    EXPECT_EQ(status_line(dollar) + dollar.substr(dollar.size() - 8), "HTTP/1.0 200 OKmethod $");
    // Pipelined in one write, the first awaiting 100 Continue; nothing answered after a close.
    const std::string reply = raw_exchange(
        server,
        "POST /echo HTTP/1.1\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\nabc"
        "GET /hello HTTP/1.1\r\n\r\n"
        "POST /echo HTTP/1.1\r\nContent-Length: 2\r\nConnection: CLOSE\r\n\r\nhiGET /");
    ASSERT_TRUE(reply.starts_with("HTTP/1.1 100 Continue\r\n\r\n")) << reply;
    std::istringstream in(reply.substr(25));
    std::string bodies;
    for (HTTPMessage message; message.read(in, false) == ReadStatus::OK; message = HTTPMessage())
        bodies += message.body + "|" + message.headers.get_header("connection") + "|";
    EXPECT_EQ(bodies, "POST:abc||" + HELLO + "||POST:hi|close|");

    EXPECT_EQ(raw_exchange(server, ""), "");
    for (int i = 0; i < 200 && !log.contains("Can't read HTTP request"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // The lines an operator greps for.
    for (const char* line :
         {"1 HTTP error: 404 Not found", "1 Handler failed - sending 500",
          "1 HTTP error: 500 Server Failure", "1 Can't read HTTP request from socket"})
        EXPECT_TRUE(log.has_line(line)) << line;
}

// Each refusal closes the connection, before any excess is stored.
TEST(HTTPLimitsTest, RefusedRequestsGetAnErrorAndTheConnectionCloses) {
    LogCapture log;
    HTTPServer::Options options;
    options.limits.max_body = 1000;
    TestServer server(options);
    const std::string get = "GET /hello HTTP/1.1\r\n", post = "POST /echo HTTP/1.1\r\n";
    const std::string chunked = post + "Transfer-Encoding: chunked\r\n\r\n";
    std::string fields = get, big_fields = get;
    std::string trailers = chunked + "0\r\nT: v\r\n";  // trailers obey the header limits too
    for (int i = 0; i < 100; ++i) {
        fields += "X-" + std::to_string(i) + ": v\r\n";
        trailers += "T: v\r\n";
        if (i < 20) big_fields += "X-" + std::to_string(i) + ": " + std::string(4000, 'v') + "\r\n";
    }
    const std::string ok = "HTTP/1.1 200 OK", large = "HTTP/1.1 413 Request Entity Too Large";
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {ok, {post + "Content-Length: 1000\r\n\r\n" + std::string(1000, 'b'), fields + "\r\n"}},
        // Refused before the body is read: the pipelined request behind it is never answered,
        // nor does a 100 Continue invite the body.
        {large,
         {post + "Content-Length: 99999999999\r\n\r\n" + get + "\r\n",
          post + "Content-Length: 1001\r\nExpect: 100-continue\r\n\r\n",
          chunked + "258\r\n" + std::string(600, 'a') + "\r\n258\r\n" + std::string(600, 'a'),
          chunked + "7fffffffffff\r\n"}},
        {"HTTP/1.1 400 Bad Request",
         {" /hello HTTP/1.1\r\n\r\n" /* no method: not even a request */, chunked + "xyz\r\n",
          chunked + "123456789abcdef0123\r\n", fields + "Connection: close\r\n\r\n",
          big_fields + "\r\n", "GET /" + std::string(100000, 'a'), trailers + "\r\n",
          chunked + "4x\r\nabcd\r\n0\r\n\r\n", chunked + "2\r\nabcd\r\n0\r\n\r\n",
          std::string(100, '\n') + get + "\r\n", get + "no colon here\r\n\r\n",
          get + "Bad Name: x\r\n\r\n", get + " continued: first\r\n\r\n",
          post + "Content-Length: -1\r\n\r\n",
          post + "Content-Length: 2\r\nContent-Length: 3\r\n\r\nabc",
          post + "Transfer-Encoding: gzip\r\n\r\n"}},
        {"HTTP/1.1 505 HTTP Version not supported", {"GET /hello HTTP/2.0\r\n\r\n" + get + "\r\n"}},
        // Cut short: no answer, nor a partial body handed on.
        {"", {get + "Host: x\r\n", post + "Content-Length: 10\r\n\r\nshort", chunked + "5\r\nab"}},
    };
    for (const auto& [status, requests] : cases)
        for (const std::string& request : requests) {
            const std::string reply = raw_exchange(server, request);
            EXPECT_EQ(status_line(reply), status) << request.substr(0, 80);
            if (status == ok || status.empty()) continue;
            EXPECT_EQ(reply.find("HTTP/1.1 200"), std::string::npos);
            EXPECT_TRUE(reply.ends_with("Connection: close\r\nContent-Length: 0\r\n\r\n")) << reply;
        }
    for (const char* line : {"1 HTTP error: 413 Request Entity Too Large",
                             "1 HTTP error: 505 HTTP Version not supported"})
        EXPECT_TRUE(log.has_line(line)) << line;

    CORVID_REQUIRE_PROGRAM("curl");
    for (const std::string framing : {"", "-H 'Transfer-Encoding: chunked' "})
        EXPECT_EQ(
            Corvid::Testing::run_command("head -c 200000 /dev/zero | curl -s -m 20 -o /dev/null -w "
                                         "'%{http_code}' --data-binary @- " +
                                         framing + server.url("/echo")),
            "413")
            << framing;
}

// A silent client is cut by the socket timeout; one trickling a byte every 100 ms never lets a
// per-read timeout expire, but the deadline for the whole request cuts it.
TEST(HTTPLimitsTest, SilentAndTricklingClientsAreCut) {
    HTTPServer::Options options;
    options.timeout = 1;
    TestServer server(options);
    const auto start = Clock::now();
    auto silent_cut = start;
    Net::TCPClient silent(server.server.end_point(), 5), trickling(server.server.end_point(), 5);
    silent.write(std::string("GET /hello HTTP/1.1\r\n"));
    const std::string request = "GET /hello HTTP/1.1\r\nX-Slow: " + std::string(200, 's');
    bool cut = false;
    char byte;
    for (size_t i = 0; i < request.size() && !cut && Clock::now() - start < 8s; ++i) {
        if (silent_cut == start && silent.wait_readable(0)) silent_cut = Clock::now();
        cut = trickling.raw_write(&request[i], 1) != 1;
        std::this_thread::sleep_for(100ms);
        if (!cut && trickling.wait_readable(0)) cut = trickling.raw_read(&byte, 1) <= 0;
    }
    EXPECT_TRUE(cut);
    EXPECT_LT(Clock::now() - start, 5s);
    if (silent_cut == start && silent.wait_readable(5)) silent_cut = Clock::now();
    ASSERT_GT(silent_cut - start, 500ms);
    EXPECT_LT(silent_cut - start, 5s);
    EXPECT_EQ(silent.raw_read(&byte, 1), 0);
}

bool get_hello(Net::TCPClient& client) {
    client.set_timeout(30);
    client.write(std::string("GET /hello HTTP/1.1\r\n\r\n"));
    Net::TCPStream stream(client);
    HTTPMessage response;
    return response.read(stream, false) == ReadStatus::OK && response.body == HELLO;
}

// An idle persistent connection is kept while nobody waits; once every worker is taken, one idle
// connection (even one that never sent a byte) gives way to a waiting client, and only one.
TEST(HTTPLimitsTest, IdleConnectionsGiveWayOnlyWhenAClientWaits) {
    LogCapture log;
    HTTPServer::Options options;
    options.timeout = 60;
    options.idle_give_way = 100ms;
    TestServer server(options);
    std::deque<Net::TCPClient> idle;
    idle.emplace_back(server.server.end_point(), 5);
    ASSERT_TRUE(get_hello(idle[0]));
    std::this_thread::sleep_for(600ms);
    ASSERT_TRUE(get_hello(idle[0]));
    while (idle.size() < 10)
        idle.emplace_back(server.server.end_point(), 5);
    for (int i = 0; i < 200 && server.server.busy_workers() < 10; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(server.server.busy_workers(), 10u);
    for (int i = 0; i < 3; ++i) {  // each late client closes, freeing its worker for the next
        const auto start = Clock::now();
        {
            Net::TCPClient late(server.server.end_point(), 5);
            ASSERT_TRUE(get_hello(late)) << i;
        }
        EXPECT_LT(Clock::now() - start, 3s) << i;
        // Until the server sees the close, a next client would find every worker busy again.
        for (int j = 0; j < 200 && server.server.busy_workers() == 10; ++j)
            std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(log.count("closed for a waiting client"), 1u);
    char byte;
    const auto closed = [&](auto& c) { return c.wait_readable(0) && c.raw_read(&byte, 1) <= 0; };
    EXPECT_EQ(std::count_if(idle.begin(), idle.end(), closed), 1);
}

}  // namespace
}  // namespace Gantry::Web
