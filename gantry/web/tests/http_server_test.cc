// The server against curl, and raw sockets for what curl cannot send.
#include <gtest/gtest.h>

#include <ctime>
#include <sstream>

#include "gantry/web/tests/server_fixture.h"

namespace Gantry::Web {
namespace {

using namespace Testing;

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
        SCOPED_TRACE(c.options);
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
    for (const auto& [path, line] : {std::pair{"/nowhere", "HTTP/1.1 404 Not found"},
                                     {"/HELLO", "HTTP/1.1 404 Not found"},
                                     {"/hello?x=1#f", "HTTP/1.1 200 OK"},
                                     {"/fail", "HTTP/1.1 500 Server Failure"}})
        EXPECT_EQ(status_line(curl("-i " + server.url(path))), line) << path;

    const std::string head = raw_exchange(server, "HEAD /hello HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(head.ends_with("\r\nContent-Length: 100\r\n\r\n")) << head;
    // One 505 without the handler's body, then the connection closes.
    const std::string refused =
        raw_exchange(server, "GET /hello HTTP/2.0\r\n\r\nGET /hello HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(refused.starts_with("HTTP/1.1 505 HTTP Version not supported\r\n")) << refused;
    EXPECT_TRUE(refused.ends_with("\r\nConnection: close\r\nContent-Length: 0\r\n\r\n")) << refused;
    // A '$' line ends the request at once and reaches the "" handler.
    const std::string dollar = raw_exchange(server, "$ping\r\n");
    EXPECT_EQ(status_line(dollar) + dollar.substr(dollar.size() - 8), "HTTP/1.0 200 OKmethod $");
    // Pipelined requests in one write, the first awaiting a 100 Continue; after the one that
    // closes the connection nothing is answered.
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
          "1 HTTP error: 500 Server Failure", "1 HTTP error: 505 HTTP Version not supported",
          "1 Can't read HTTP request from socket"})
        EXPECT_TRUE(log.has_line(line)) << line;
}

}  // namespace
}  // namespace Gantry::Web
