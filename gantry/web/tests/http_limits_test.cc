// The bounds that keep one client from taking unbounded memory or a worker for ever. Each refusal
// is checked on the wire: status, and the connection closed after it.
#include <gtest/gtest.h>

#include <thread>

#include "gantry/web/tests/server_fixture.h"
#include "tests/support/test_support.h"

namespace Gantry::Web {
namespace {

using namespace Testing;
using namespace std::chrono_literals;

HTTPServer::Options small_body_options() {
    HTTPServer::Options options;
    options.limits.max_body = 1000;
    options.timeout = 10;
    return options;
}

std::string status_line(const std::string& reply) {
    return reply.substr(0, reply.find("\r\n"));
}

TEST(HTTPLimitsTest, DefaultBodyLimitIs16MiB) {
    EXPECT_EQ(HTTPServer::Options().limits.max_body, 16u * 1024 * 1024);
    EXPECT_EQ(HTTPServer::Options().limits.max_header_lines, 100u);
    EXPECT_EQ(HTTPServer::Options().limits.max_header_bytes, 64u * 1024);
}

TEST(HTTPLimitsTest, BodyOverLimitGets413AndTheConnectionCloses) {
    LogCollector log;
    TestServer server(small_body_options());
    // At the limit: answered as usual.
    const std::string at_limit =
        exchange(server.end_point(),
                 "POST /echo HTTP/1.1\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n" +
                     std::string(1000, 'b'));
    EXPECT_EQ(status_line(at_limit), "HTTP/1.1 200 OK");
    EXPECT_EQ(at_limit.substr(at_limit.size() - 1005), "POST:" + std::string(1000, 'b'));

    // A huge claimed length is refused before any of the body is read; the pipelined request
    // behind it is never answered.
    const std::string reply = exchange(
        server.end_point(),
        "POST /echo HTTP/1.1\r\nContent-Length: 999999999999\r\n\r\nGET /hello HTTP/1.1\r\n\r\n");
    EXPECT_EQ(status_line(reply), "HTTP/1.1 413 Request Entity Too Large");
    EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos);
    EXPECT_EQ(reply.find("HTTP/1.1 200"), std::string::npos);
    EXPECT_TRUE(log.contains("HTTP error: 413 Request Entity Too Large"));
}

TEST(HTTPLimitsTest, CurlSeesThe413ForALargeUpload) {
    CORVID_REQUIRE_PROGRAM("curl");
    TestServer server(small_body_options());
    Corvid::Testing::TempDir dir;
    Corvid::Testing::write_file(dir.file("big"), std::string(200000, 'x'));
    int status = -1;
    const std::string code = Corvid::Testing::run_command(
        "curl -s --max-time 20 -o /dev/null -w '%{http_code}' --data-binary @" +
            Corvid::Testing::shell_quote(dir.file("big")) + " " +
            Corvid::Testing::shell_quote(server.url("/echo")),
        &status);
    EXPECT_EQ(code, "413");
    const std::string chunked_code = Corvid::Testing::run_command(
        "curl -s --max-time 20 -o /dev/null -w '%{http_code}' -H 'Transfer-Encoding: chunked' "
        "--data-binary @" +
            Corvid::Testing::shell_quote(dir.file("big")) + " " +
            Corvid::Testing::shell_quote(server.url("/echo")),
        &status);
    EXPECT_EQ(chunked_code, "413");
}

TEST(HTTPLimitsTest, ChunkSizesCountTowardTheLimit) {
    TestServer server(small_body_options());
    const std::string head = "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    // 600 + 600 bytes: each chunk fits, together they do not.
    const std::string over =
        exchange(server.end_point(), head + "258\r\n" + std::string(600, 'a') + "\r\n258\r\n" +
                                         std::string(600, 'a') + "\r\n0\r\n\r\n");
    EXPECT_EQ(status_line(over), "HTTP/1.1 413 Request Entity Too Large");
    // A gigantic chunk size is refused from its size line.
    EXPECT_EQ(status_line(exchange(server.end_point(), head + "7fffffffffff\r\n")),
              "HTTP/1.1 413 Request Entity Too Large");
    // Not hexadecimal, and too big for any integer: 400.
    EXPECT_EQ(status_line(exchange(server.end_point(), head + "xyz\r\n")),
              "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(status_line(exchange(server.end_point(), head + "123456789abcdef0123\r\n")),
              "HTTP/1.1 400 Bad Request");
}

TEST(HTTPLimitsTest, TooManyHeaderLinesGets400) {
    LogCollector log;
    TestServer server;
    std::string request = "GET /hello HTTP/1.1\r\n";
    for (int i = 0; i < 100; ++i)
        request += "X-Field-" + std::to_string(i) + ": v\r\n";
    const std::string hundred = exchange(server.end_point(), request + "Connection: close\r\n\r\n");
    EXPECT_EQ(status_line(hundred), "HTTP/1.1 400 Bad Request");  // 101 fields
    const std::string fine = exchange(server.end_point(), request + "\r\n");
    EXPECT_EQ(status_line(fine), "HTTP/1.1 200 OK");  // exactly 100
    EXPECT_TRUE(log.contains("HTTP error: 400 Bad Request"));
}

TEST(HTTPLimitsTest, HeaderBlockOver64KiBGets400) {
    TestServer server;
    std::string request = "GET /hello HTTP/1.1\r\n";
    for (int i = 0; i < 20; ++i)
        request += "X-" + std::to_string(i) + ": " + std::string(4000, 'v') + "\r\n";
    EXPECT_EQ(status_line(exchange(server.end_point(), request + "\r\n")),
              "HTTP/1.1 400 Bad Request");
    // One endless line gets no further than the line limit.
    EXPECT_EQ(status_line(exchange(server.end_point(), "GET /" + std::string(100000, 'a'))),
              "HTTP/1.1 400 Bad Request");
}

TEST(HTTPLimitsTest, SilentClientIsCutBySocketTimeout) {
    HTTPServer::Options options;
    options.timeout = 1;
    TestServer server(options);
    Net::TCPClient client(server.end_point(), 5);
    client.set_timeout(20);
    client.write(std::string("GET /hello HTTP/1.1\r\n"));
    const auto start = std::chrono::steady_clock::now();
    std::string reply;
    client.read_all(reply);
    EXPECT_EQ(reply, "");
    EXPECT_LT(seconds_since(start), 5.0);
    EXPECT_GT(seconds_since(start), 0.5);
}

TEST(HTTPLimitsTest, TricklingClientIsCutByTheRequestDeadline) {
    HTTPServer::Options options;
    options.timeout = 1;
    TestServer server(options);
    Net::TCPClient client(server.end_point(), 5);
    const auto start = std::chrono::steady_clock::now();
    // A byte every 100 ms never lets a per-read timeout expire; the deadline for the whole
    // request still does.
    const std::string request = "GET /hello HTTP/1.1\r\nX-Slow: " + std::string(200, 's');
    bool cut = false;
    for (char c : request) {
        if (client.raw_write(&c, 1) != 1) {
            cut = true;
            break;
        }
        if (client.wait_readable(0)) {
            char byte;
            if (client.raw_read(&byte, 1) <= 0) {
                cut = true;
                break;
            }
        }
        std::this_thread::sleep_for(100ms);
        if (seconds_since(start) > 8) break;
    }
    EXPECT_TRUE(cut);
    EXPECT_LT(seconds_since(start), 5.0);
}

}  // namespace
}  // namespace Gantry::Web
