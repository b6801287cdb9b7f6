// The server against real clients: curl from the system, and raw sockets where curl cannot be
// made to send what is needed (pipelining, a bad version, a '$' line).
#include <gtest/gtest.h>

#include <ctime>
#include <thread>

#include "gantry/web/tests/server_fixture.h"

namespace Gantry::Web {
namespace {

using namespace Testing;
using namespace std::chrono_literals;

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

TEST(HTTPServerTest, HTTP10WithoutKeepAliveAnswersOnceAndCloses) {
    CORVID_REQUIRE_PROGRAM("curl");
    LogCapture log;
    TestServer server;
    int status = -1;
    const std::string output = curl("-0 -i " + server.url("/hello"), &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(output.substr(0, 17), "HTTP/1.0 200 OK\r\n");
    EXPECT_NE(output.find("\r\nServer: gantry-test/1.0\r\n"), std::string::npos);
    EXPECT_NE(output.find("\r\nContent-Length: 100\r\n"), std::string::npos);
    // The date is now, in the RFC 1123 form: the same text as formatting this second (or the
    // one before, if the second turned meanwhile).
    const size_t date = output.find("\r\nDate: ");
    ASSERT_NE(date, std::string::npos);
    const std::string sent = output.substr(date + 8, 29);
    const time_t now = ::time(nullptr);
    EXPECT_TRUE(sent == http_date(now) || sent == http_date(now - 1)) << sent;
    EXPECT_EQ(output.find("Connection:"), std::string::npos);
    EXPECT_EQ(output.substr(output.size() - 100), hello_body());
    EXPECT_TRUE(log.has_line("3 HTTP/1.0 non-persistent connection"));
    EXPECT_EQ(log.count("HTTP/1.0 request: GET from 127.0.0.1:"), 1u);
    EXPECT_TRUE(log.has_line("3 Response: HTTP/1.0 200 OK"));
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
        EXPECT_EQ(log.count(c.version + " persistent connection from 127.0.0.1:"), 2u);
        EXPECT_EQ(log.count(" continues"), 2u);
        // Logged once the server sees curl's end of the connection.
        for (int i = 0; i < 200 && log.count(" now closed") == 0; ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(log.count("Persistent connection from 127.0.0.1:"), 1u);
        EXPECT_EQ(log.count(" now closed"), 1u);
    }
}

TEST(HTTPServerTest, HTTP11PipelinedRequestsOnOneConnection) {
    LogCapture log;
    TestServer server;
    Net::TCPClient client(server.end_point(), 5);
    ASSERT_TRUE(client.connected());
    client.set_timeout(10);
    // Both requests in one write; the second one closes the connection.
    client.write(
        "GET /hello HTTP/1.1\r\nHost: x\r\n\r\n"
        "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nConnection: CLOSE\r\n\r\nworld");
    Net::TCPStream stream(client);
    HTTPMessage first, second;
    ASSERT_EQ(first.read(stream, false), ReadStatus::OK);
    ASSERT_EQ(second.read(stream, false), ReadStatus::OK);
    EXPECT_EQ(first.start_line(), "HTTP/1.1 200 OK");
    EXPECT_EQ(first.body, hello_body());
    EXPECT_FALSE(first.headers.has_header("connection"));
    EXPECT_EQ(second.body, "POST:world");
    EXPECT_EQ(second.headers.get_header("connection"), "close");
    // Closed after the response to the "close" request.
    std::string rest;
    client.read_all(rest);
    EXPECT_EQ(rest, "");
    EXPECT_TRUE(log.has_line("3 HTTP/1.1 persistent connection started"));
    EXPECT_EQ(log.count("HTTP/1.1 persistent connection from 127.0.0.1:"), 1u);
    EXPECT_EQ(log.count(" closed"), 1u);
}

TEST(HTTPServerTest, ChunkedPostIsReassembled) {
    CORVID_REQUIRE_PROGRAM("curl");
    TestServer server;
    Corvid::Testing::TempDir dir;
    std::string payload;
    for (int i = 0; i < 5000; ++i)
        payload += static_cast<char>('a' + i % 26);
    Corvid::Testing::write_file(dir.file("body"), payload);
    int status = -1;
    EXPECT_EQ(curl("-H 'Transfer-Encoding: chunked' --data-binary @" +
                       Corvid::Testing::shell_quote(dir.file("body")) + " " + server.url("/echo"),
                   &status),
              "POST:" + payload);
    EXPECT_EQ(status, 0);
}

TEST(HTTPServerTest, HeadGivesGetHeadersWithoutBody) {
    CORVID_REQUIRE_PROGRAM("curl");
    TestServer server;
    int status = -1;
    const std::string get = curl("-i " + server.url("/hello"), &status);
    ASSERT_EQ(status, 0);
    const std::string head = curl("-I " + server.url("/hello"), &status);
    ASSERT_EQ(status, 0);
    const auto without_date = [](std::string text) {
        const size_t date = text.find("Date: ");
        if (date != std::string::npos) text.erase(date, text.find("\r\n", date) + 2 - date);
        return text;
    };
    const std::string get_head = get.substr(0, get.find("\r\n\r\n") + 4);
    EXPECT_EQ(without_date(head), without_date(get_head));
    EXPECT_NE(head.find("Content-Length: 100\r\n"), std::string::npos);
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");

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

TEST(HTTPServerTest, UnsupportedVersionGets505AndCloses) {
    LogCapture log;
    TestServer server;
    const std::string reply = exchange(
        server.end_point(), "GET /hello HTTP/2.0\r\nHost: x\r\n\r\nGET /hello HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.substr(0, 41), "HTTP/1.1 505 HTTP Version not supported\r\n");
    // One response only, without the handler's body.
    EXPECT_EQ(count(reply, "HTTP/1.1"), 1u);
    EXPECT_NE(reply.find("Content-Length: 0\r\n"), std::string::npos);
    EXPECT_TRUE(log.has_line("1 HTTP error: 505 HTTP Version not supported"));
}

TEST(HTTPServerTest, DollarLineReachesTheHandlers) {
    TestServer server;
    const std::string reply = exchange(server.end_point(), "$ping\r\n");
    EXPECT_EQ(reply.substr(0, 17), "HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(reply.substr(reply.size() - 8), "method $");
}

TEST(HTTPServerTest, ExpectContinueGetsInterimResponse) {
    TestServer server;
    Net::TCPClient client(server.end_point(), 5);
    client.set_timeout(10);
    client.write(
        "POST /echo HTTP/1.1\r\nContent-Length: 3\r\nExpect: 100-continue\r\n"
        "Connection: close\r\n\r\n");
    char interim[25];
    ASSERT_TRUE(client.read_exact(interim, sizeof interim));
    EXPECT_EQ(std::string(interim, sizeof interim), "HTTP/1.1 100 Continue\r\n\r\n");
    client.write("abc");
    std::string reply;
    client.read_all(reply);
    EXPECT_EQ(status_line(reply), "HTTP/1.1 200 OK");
    EXPECT_EQ(reply.substr(reply.size() - 8), "POST:abc");
}

TEST(HTTPServerTest, ClientThatSendsNothingIsLogged) {
    LogCapture log;
    TestServer server;
    EXPECT_EQ(exchange(server.end_point(), ""), "");
    for (int i = 0; i < 200 && !log.contains("Can't read HTTP request from socket"); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(log.has_line("1 Can't read HTTP request from socket"));
}

TEST(HTTPDateTest, RFC1123Form) {
    EXPECT_EQ(http_date(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(http_date(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(http_date(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
}

}  // namespace
}  // namespace Gantry::Web
