// The bounds that keep one client from taking unbounded memory or a worker for ever. Each refusal
// is checked on the wire: status, and the connection closed after it.
#include <gtest/gtest.h>

#include <thread>

#include "gantry/web/tests/server_fixture.h"

namespace Gantry::Web {
namespace {

using namespace Testing;
using namespace std::chrono_literals;

TEST(HTTPLimitsTest, OversizedRequestsGet413Or400AndTheConnectionCloses) {
    LogCapture log;
    HTTPServer::Options options;
    options.limits.max_body = 1000;
    TestServer server(options);
    const std::string chunked = "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string hundred_fields = "GET /hello HTTP/1.1\r\n", big_fields = hundred_fields;
    for (int i = 0; i < 100; ++i)
        hundred_fields += "X-Field-" + std::to_string(i) + ": v\r\n";
    for (int i = 0; i < 20; ++i)
        big_fields += "X-" + std::to_string(i) + ": " + std::string(4000, 'v') + "\r\n";
    const std::string too_large = "HTTP/1.1 413 Request Entity Too Large";
    const std::string bad = "HTTP/1.1 400 Bad Request";
    const struct {
        const char* name;
        std::string request, status;
    } cases[] = {
        {"body at the limit",
         "POST /echo HTTP/1.1\r\nContent-Length: 1000\r\n\r\n" + std::string(1000, 'b'),
         "HTTP/1.1 200 OK"},
        // Refused before any of the body is read; the pipelined request behind it is never
        // answered.
        {"huge length",
         "POST /echo HTTP/1.1\r\nContent-Length: 999999999999\r\n\r\nGET /hello HTTP/1.1\r\n\r\n",
         too_large},
        // Each chunk fits, together they do not.
        {"600 + 600 in chunks",
         chunked + "258\r\n" + std::string(600, 'a') + "\r\n258\r\n" + std::string(600, 'a') +
             "\r\n0\r\n\r\n",
         too_large},
        {"gigantic chunk size", chunked + "7fffffffffff\r\n", too_large},
        {"chunk size not hexadecimal", chunked + "xyz\r\n", bad},
        {"chunk size beyond any integer", chunked + "123456789abcdef0123\r\n", bad},
        {"exactly 100 fields", hundred_fields + "\r\n", "HTTP/1.1 200 OK"},
        {"101 fields", hundred_fields + "Connection: close\r\n\r\n", bad},
        {"header block over 64 KiB", big_fields + "\r\n", bad},
        // One endless line gets no further than the line limit.
        {"endless line", "GET /" + std::string(100000, 'a'), bad},
    };
    for (const auto& c : cases) {
        const std::string reply = exchange(server.end_point(), c.request);
        EXPECT_EQ(status_line(reply), c.status) << c.name;
        if (c.status == "HTTP/1.1 200 OK") continue;
        EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos) << c.name;
        EXPECT_EQ(reply.find("HTTP/1.1 200"), std::string::npos) << c.name;
    }
    EXPECT_TRUE(log.has_line("1 HTTP error: 413 Request Entity Too Large"));
    EXPECT_TRUE(log.has_line("1 HTTP error: 400 Bad Request"));

    // curl sees the 413 for a large upload either way.
    CORVID_REQUIRE_PROGRAM("curl");
    Corvid::Testing::TempDir dir;
    Corvid::Testing::write_file(dir.file("big"), std::string(200000, 'x'));
    for (const std::string framing : {"", "-H 'Transfer-Encoding: chunked' "}) {
        EXPECT_EQ(curl("-o /dev/null -w '%{http_code}' " + framing + "--data-binary @" +
                       Corvid::Testing::shell_quote(dir.file("big")) + " " + server.url("/echo")),
                  "413")
            << framing;
    }
}

// A silent client is cut by the socket timeout; one trickling a byte every 100 ms never lets a
// per-read timeout expire, but the deadline for the whole request still cuts it.
TEST(HTTPLimitsTest, SilentAndTricklingClientsAreCut) {
    HTTPServer::Options options;
    options.timeout = 1;
    TestServer server(options);
    const auto start = std::chrono::steady_clock::now();
    Net::TCPClient silent(server.end_point(), 5), trickling(server.end_point(), 5);
    silent.write(std::string("GET /hello HTTP/1.1\r\n"));
    const std::string request = "GET /hello HTTP/1.1\r\nX-Slow: " + std::string(200, 's');
    bool cut = false;
    double silent_cut_at = -1;
    for (size_t i = 0; i < request.size() && !cut && seconds_since(start) < 8; ++i) {
        if (silent_cut_at < 0 && silent.wait_readable(0)) silent_cut_at = seconds_since(start);
        cut = trickling.raw_write(&request[i], 1) != 1;
        std::this_thread::sleep_for(100ms);
        char byte;
        if (!cut && trickling.wait_readable(0)) cut = trickling.raw_read(&byte, 1) <= 0;
    }
    EXPECT_TRUE(cut);
    EXPECT_LT(seconds_since(start), 5.0);
    if (silent_cut_at < 0 && silent.wait_readable(5)) silent_cut_at = seconds_since(start);
    std::string reply;
    silent.read_all(reply);
    EXPECT_EQ(reply, "");
    EXPECT_GT(silent_cut_at, 0.5);
    EXPECT_LT(silent_cut_at, 5.0);
}

}  // namespace
}  // namespace Gantry::Web
