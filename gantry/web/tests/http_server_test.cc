// The server against real clients: curl from the system, and raw sockets where curl cannot be
// made to send what is needed (pipelining, a bad version, a '$' line).
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

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(HTTPServerTest, HTTP10WithoutKeepAliveAnswersOnceAndCloses) {
    CORVID_REQUIRE_PROGRAM("curl");
    LogCapture log;
    TestServer server;
    int status = -1;
    const std::string output = curl("-0 -i " + server.url("/hello"), &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(status_line(output), "HTTP/1.0 200 OK");
    EXPECT_TRUE(contains(output, "\r\nServer: gantry-test/1.0\r\n")) << output;
    EXPECT_TRUE(contains(output, "\r\nContent-Length: 100\r\n")) << output;
    EXPECT_FALSE(contains(output, "Connection:")) << output;
    // The date is now (or the second before, if it turned meanwhile) in the RFC 1123 form.
    const time_t now = ::time(nullptr);
    EXPECT_TRUE(contains(output, "\r\nDate: " + http_date(now) + "\r\n") ||
                contains(output, "\r\nDate: " + http_date(now - 1) + "\r\n"))
        << output;
    EXPECT_EQ(output.substr(output.size() - 100), hello_body());
    EXPECT_TRUE(log.has_line("3 HTTP/1.0 non-persistent connection"));
}

// Three URLs in one curl run share a connection when the server keeps it open.
TEST(HTTPServerTest, CurlReusesPersistentConnections) {
    CORVID_REQUIRE_PROGRAM("curl");
    const struct {
        std::string version, options;
        size_t keep_alive_headers;
    } cases[] = {{"HTTP/1.0", "-0 -H 'Connection: keep-alive'", 3}, {"HTTP/1.1", "", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        LogCapture log;
        TestServer server;
        int status = -1;
        const std::string output =
            curl("-v -i " + c.options + " " + server.url("/hello") + " " + server.url("/echo") +
                     " " + server.url("/hello") + " 2>&1",
                 &status);
        ASSERT_EQ(status, 0) << output;
        EXPECT_EQ(count(output, "< " + c.version + " 200 OK"), 3u) << output;
        EXPECT_EQ(count(output, "< Connection: Keep-Alive"), c.keep_alive_headers) << output;
        EXPECT_EQ(count(output, "Re-using existing connection"), 2u) << output;
        EXPECT_TRUE(log.has_line("3 " + c.version + " persistent connection started"));
        EXPECT_EQ(log.count(" continues"), 2u);
        wait_for_log(log, " now closed");
        EXPECT_EQ(log.count(" now closed"), 1u);
    }
}

TEST(HTTPServerTest, HTTP11PipelinedRequestsOnOneConnection) {
    TestServer server;
    Net::TCPClient client(server.end_point(), 5);
    client.set_timeout(10);
    // Both requests in one write; the second one closes the connection, with no end of input
    // from this side.
    client.write(
        "GET /hello HTTP/1.1\r\nHost: x\r\n\r\n"
        "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nConnection: CLOSE\r\n\r\nworld");
    std::string reply;
    client.read_all(reply);
    std::istringstream in(reply);
    HTTPMessage first, second;
    ASSERT_EQ(first.read(in, false), ReadStatus::OK);
    ASSERT_EQ(second.read(in, false), ReadStatus::OK);
    EXPECT_EQ(first.start_line(), "HTTP/1.1 200 OK");
    EXPECT_EQ(first.body, hello_body());
    EXPECT_FALSE(first.headers.has_header("connection"));
    EXPECT_EQ(second.body, "POST:world");
    EXPECT_EQ(second.headers.get_header("connection"), "close");
    EXPECT_EQ(in.peek(), EOF);
}

TEST(HTTPServerTest, HeadGivesGetHeadersWithoutBody) {
    CORVID_REQUIRE_PROGRAM("curl");
    TestServer server;
    const auto without_date = [](std::string text) {
        const size_t date = text.find("Date: ");
        if (date != std::string::npos) text.erase(date, text.find("\r\n", date) + 2 - date);
        return text;
    };
    const std::string get = curl("-i " + server.url("/hello"));
    EXPECT_EQ(without_date(curl("-I " + server.url("/hello"))),
              without_date(get.substr(0, get.find("\r\n\r\n") + 4)));
    // Over a raw socket: nothing follows the blank line.
    const std::string raw = exchange(server.end_point(), "HEAD /hello HTTP/1.0\r\n\r\n");
    EXPECT_EQ(raw.substr(raw.size() - 4), "\r\n\r\n");
}

TEST(HTTPServerTest, UnknownURLGets404AndFailingHandler500) {
    CORVID_REQUIRE_PROGRAM("curl");
    LogCapture log;
    TestServer server;
    const struct {
        const char* path;
        const char* status_line;
    } cases[] = {
        {"/nowhere", "HTTP/1.1 404 Not found"},
        // Patterns match the path only, case-sensitively.
        {"/HELLO", "HTTP/1.1 404 Not found"},
        {"/hello?x=1#f", "HTTP/1.1 200 OK"},
        {"/fail", "HTTP/1.1 500 Server Failure"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(status_line(curl("-i " + server.url(c.path))), c.status_line) << c.path;
    EXPECT_TRUE(log.has_line("1 HTTP error: 404 Not found"));
    EXPECT_TRUE(log.has_line("1 Handler failed - sending 500"));
    EXPECT_TRUE(log.has_line("1 HTTP error: 500 Server Failure"));
}

// Raw exchanges: HTTP/2.0 gets one 505 without the handler's body and the connection closes;
// a '$' line ends the request at once (no headers are awaited) and reaches the "" handler; a
// silent client is logged.
TEST(HTTPServerTest, RawStartLines) {
    LogCapture log;
    TestServer server;
    const std::string reply = exchange(
        server.end_point(), "GET /hello HTTP/2.0\r\nHost: x\r\n\r\nGET /hello HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.substr(0, 41), "HTTP/1.1 505 HTTP Version not supported\r\n");
    EXPECT_EQ(count(reply, "HTTP/1.1"), 1u);
    EXPECT_TRUE(contains(reply, "Content-Length: 0\r\n"));
    EXPECT_TRUE(log.has_line("1 HTTP error: 505 HTTP Version not supported"));

    const std::string dollar = exchange(server.end_point(), "$ping\r\n");
    EXPECT_EQ(status_line(dollar), "HTTP/1.0 200 OK");
    EXPECT_EQ(dollar.substr(dollar.size() - 8), "method $");

    EXPECT_EQ(exchange(server.end_point(), ""), "");
    wait_for_log(log, "Can't read HTTP request from socket");
    EXPECT_TRUE(log.has_line("1 Can't read HTTP request from socket"));
}

TEST(HTTPServerTest, ExpectContinueGetsInterimResponse) {
    TestServer server;
    Net::TCPClient client(server.end_point(), 5);
    client.set_timeout(10);
    client.write("POST /echo HTTP/1.1\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\n");
    char interim[25];
    ASSERT_TRUE(client.read_exact(interim, sizeof interim));
    EXPECT_EQ(std::string(interim, sizeof interim), "HTTP/1.1 100 Continue\r\n\r\n");
    client.write("abc");
    Net::TCPStream stream(client);
    HTTPMessage reply;
    ASSERT_EQ(reply.read(stream, false), ReadStatus::OK);
    EXPECT_EQ(reply.start_line() + " " + reply.body, "HTTP/1.1 200 OK POST:abc");
}

TEST(HTTPDateTest, RFC1123Form) {
    EXPECT_EQ(http_date(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(http_date(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
}

}  // namespace
}  // namespace Gantry::Web
