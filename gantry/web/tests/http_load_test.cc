// Bounded load: many short connections at once, and idle persistent connections that must not
// lock other clients out while every worker is taken.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "gantry/web/tests/server_fixture.h"

namespace Gantry::Web {
namespace {

using namespace Testing;
using namespace std::chrono_literals;
using Clients = std::vector<std::unique_ptr<Net::TCPClient>>;

bool get_hello(Net::TCPClient& client, bool keep_alive) {
    client.set_timeout(30);
    client.write(std::string("GET /hello HTTP/1.1\r\nHost: x\r\n") +
                 (keep_alive ? "" : "Connection: close\r\n") + "\r\n");
    Net::TCPStream stream(client);
    HTTPMessage response;
    return response.read(stream, false) == ReadStatus::OK && response.code == 200 &&
           response.body == hello_body();
}

TEST(HTTPLoadTest, ThirtyClientsFiftyFreshConnectionsEach) {
    TestServer server;  // backlog 5, one spare, at most ten workers
    constexpr int CLIENTS = 30, REQUESTS = 50;
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < CLIENTS; ++c) {
        clients.emplace_back([&] {
            for (int r = 0; r < REQUESTS; ++r) {
                Net::TCPClient client(server.end_point(), 10);
                try {
                    if (client.connected() && get_hello(client, false)) ++answered;
                } catch (const Net::SocketError&) {
                    // left unanswered: the count below tells
                }
            }
        });
    }
    for (auto& client : clients)
        client.join();
    EXPECT_EQ(answered.load(), CLIENTS * REQUESTS);
    EXPECT_LE(server.server.busy_workers() + server.server.spare_workers(), 10u);
}

// With a short give-way time: an idle persistent connection is kept while nobody waits; once every
// worker is taken, an idle connection, even one that never sent a byte, gives way to a waiting
// client, and exactly one: the late clients close theirs, which frees the worker for the next.
TEST(HTTPLoadTest, ConnectionsGiveWayOnlyWhenAClientWaits) {
    LogCapture log;
    HTTPServer::Options options;
    options.timeout = 60;
    options.idle_give_way = 100ms;
    TestServer server(options);
    Net::TCPClient client(server.end_point(), 5);
    ASSERT_TRUE(get_hello(client, true));
    std::this_thread::sleep_for(600ms);
    ASSERT_TRUE(get_hello(client, true));

    Clients silent;
    for (int i = 0; i < 9; ++i)
        silent.push_back(std::make_unique<Net::TCPClient>(server.end_point(), 5));
    for (int i = 0; i < 200 && server.server.busy_workers() < 10; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(server.server.busy_workers(), 10u);
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        Net::TCPClient late(server.end_point(), 5);
        ASSERT_TRUE(get_hello(late, false)) << "late client " << i;
        EXPECT_LT(seconds_since(start), 3.0) << "late client " << i;
    }
    EXPECT_EQ(log.count("closed for a waiting client"), 1u);
    std::vector<Net::TCPClient*> idle{&client};
    for (auto& quiet : silent)
        idle.push_back(quiet.get());
    int closed = 0;
    for (Net::TCPClient* connection : idle) {
        char byte;
        closed += connection->wait_readable(0) && connection->raw_read(&byte, 1) <= 0;
    }
    EXPECT_EQ(closed, 1);
}

}  // namespace
}  // namespace Gantry::Web
