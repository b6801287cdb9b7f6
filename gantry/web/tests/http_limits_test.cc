// The bounds that keep clients from taking unbounded memory or workers, checked on the wire.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "gantry/web/tests/server_fixture.h"

namespace Gantry::Web {
namespace {

using namespace Testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Each refusal closes the connection, before any excess is stored.
TEST(HTTPLimitsTest, OversizedOrMalformedRequestsGet413Or400AndTheConnectionCloses) {
    LogCapture log;
    HTTPServer::Options options;
    options.limits.max_body = 1000;
    TestServer server(options);
    const std::string chunked = "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string fields = "GET /hello HTTP/1.1\r\n", big_fields = fields;
    std::string trailers = chunked + "0\r\nT: v\r\n";  // trailers obey the header limits too
    for (int i = 0; i < 100; ++i) {
        fields += "X-" + std::to_string(i) + ": v\r\n";
        trailers += "T: v\r\n";
        if (i < 20) big_fields += "X-" + std::to_string(i) + ": " + std::string(4000, 'v') + "\r\n";
    }
    const std::string ok = "HTTP/1.1 200 OK", large = "HTTP/1.1 413 Request Entity Too Large",
                      bad = "HTTP/1.1 400 Bad Request";
    const std::string cases[][2] = {
        {"POST /echo HTTP/1.1\r\nContent-Length: 1000\r\n\r\n" + std::string(1000, 'b'), ok},
        // Refused before the body is read: the pipelined request behind it is never answered.
        {"POST /echo HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\nGET /hello HTTP/1.1\r\n\r\n",
         large},
        // Refused from the head alone: no 100 Continue invites the body.
        {"POST /echo HTTP/1.1\r\nContent-Length: 1001\r\nExpect: 100-continue\r\n\r\n", large},
        {chunked + "258\r\n" + std::string(600, 'a') + "\r\n258\r\n" + std::string(600, 'a'),
         large},
        {chunked + "7fffffffffff\r\n", large},
        {chunked + "xyz\r\n", bad},
        {chunked + "123456789abcdef0123\r\n", bad},
        {fields + "\r\n", ok},
        {fields + "Connection: close\r\n\r\n", bad},
        {big_fields + "\r\n", bad},
        {"GET /" + std::string(100000, 'a'), bad},
        {trailers + "\r\n", bad},
        {chunked + "4x\r\nabcd\r\n0\r\n\r\n", bad},
        {chunked + "2\r\nabcd\r\n0\r\n\r\n", bad},
        {std::string(100, '\n') + "GET /hello HTTP/1.1\r\n\r\n", bad},
        {" /hello HTTP/1.1\r\n\r\n", bad},  // without a method, not even a request
        {"GET /hello HTTP/1.1\r\nno colon here\r\n\r\n", bad},
        {"GET /hello HTTP/1.1\r\nBad Name: x\r\n\r\n", bad},
        {"GET /hello HTTP/1.1\r\n continued: first\r\n\r\n", bad},
        {"POST /echo HTTP/1.1\r\nContent-Length: -1\r\n\r\n", bad},
        {"POST /echo HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc", bad},
        {"POST /echo HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", bad},
        // Cut short: no answer, nor a partial body handed on.
        {"GET /hello HTTP/1.1\r\nHost: x\r\n", ""},
        {"POST /echo HTTP/1.1\r\nContent-Length: 10\r\n\r\nshort", ""},
        {chunked + "5\r\nab", ""},
    };
    for (const auto& [request, status] : cases) {
        const std::string reply = raw_exchange(server, request);
        EXPECT_EQ(status_line(reply), status) << request.substr(0, 80);
        if (status != large && status != bad) continue;
        EXPECT_EQ(reply.find("HTTP/1.1 200"), std::string::npos);
        EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos);
    }
    EXPECT_TRUE(log.has_line("1 HTTP error: 413 Request Entity Too Large"));

    CORVID_REQUIRE_PROGRAM("curl");
    Corvid::Testing::TempDir dir;
    Corvid::Testing::write_file(dir.file("big"), std::string(200000, 'x'));
    for (const std::string framing : {"", "-H 'Transfer-Encoding: chunked' "})
        EXPECT_EQ(curl("-o /dev/null -w '%{http_code}' " + framing + "--data-binary @" +
                       Corvid::Testing::shell_quote(dir.file("big")) + " " + server.url("/echo")),
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
    for (size_t i = 0; i < request.size() && !cut && Clock::now() - start < 8s; ++i) {
        if (silent_cut == start && silent.wait_readable(0)) silent_cut = Clock::now();
        cut = trickling.raw_write(&request[i], 1) != 1;
        std::this_thread::sleep_for(100ms);
        char byte;
        if (!cut && trickling.wait_readable(0)) cut = trickling.raw_read(&byte, 1) <= 0;
    }
    EXPECT_TRUE(cut);
    EXPECT_LT(Clock::now() - start, 5s);
    if (silent_cut == start && silent.wait_readable(5)) silent_cut = Clock::now();
    ASSERT_GT(silent_cut - start, 500ms);
    EXPECT_LT(silent_cut - start, 5s);
    std::string reply;
    silent.read_all(reply);
    EXPECT_EQ(reply, "");
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
    std::vector<std::unique_ptr<Net::TCPClient>> idle;
    idle.push_back(std::make_unique<Net::TCPClient>(server.server.end_point(), 5));
    ASSERT_TRUE(get_hello(*idle[0]));
    std::this_thread::sleep_for(600ms);
    ASSERT_TRUE(get_hello(*idle[0]));
    for (int i = 0; i < 9; ++i)
        idle.push_back(std::make_unique<Net::TCPClient>(server.server.end_point(), 5));
    for (int i = 0; i < 200 && server.server.busy_workers() < 10; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(server.server.busy_workers(), 10u);
    for (int i = 0; i < 3; ++i) {  // each late client closes, freeing its worker for the next
        const auto start = Clock::now();
        Net::TCPClient late(server.server.end_point(), 5);
        ASSERT_TRUE(get_hello(late)) << i;
        EXPECT_LT(Clock::now() - start, 3s) << i;
    }
    EXPECT_EQ(log.count("closed for a waiting client"), 1u);
    int closed = 0;
    for (auto& connection : idle) {
        char byte;
        closed += connection->wait_readable(0) && connection->raw_read(&byte, 1) <= 0;
    }
    EXPECT_EQ(closed, 1);
}

}  // namespace
}  // namespace Gantry::Web
