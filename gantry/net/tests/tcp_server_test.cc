#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gantry/mt/thread.h"
#include "gantry/net/ssl.h"
#include "gantry/net/tcp_client.h"
#include "gantry/net/tcp_server.h"

namespace Gantry::Net {
namespace {

using namespace std::chrono_literals;
using Clients = std::vector<std::unique_ptr<TCPClient>>;
const IPAddress LOOPBACK("127.0.0.1");

// Echoes until the client closes; refuses one port. Only a client holding a worker is answered,
// so answers to clients that all stay connected prove the workers run at once.
class EchoServer : public TCPServer {
  public:
    EchoServer(unsigned minimum_spare = 1, unsigned maximum = 10, uint16_t port = 0)
        : TCPServer(LOOPBACK, port, 16, minimum_spare, maximum) {}
    ~EchoServer() override { shutdown(); }
    std::atomic<int> served{0};
    std::atomic<uint16_t> refused_port{0};

  protected:
    bool verify(const EndPoint& client) override { return client.port() != refused_port.load(); }
    void process(TCPSocket& socket, const EndPoint& client) override {
        ++served;
        EXPECT_EQ(client, socket.remote_end_point());
        char buffer[256];
        for (ssize_t got; (got = socket.raw_read(buffer, sizeof buffer)) > 0;)
            if (socket.raw_write(buffer, static_cast<size_t>(got)) != got) break;
    }
};

// Polls for up to two seconds for a state another thread reaches.
template <typename Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 400; ++i, std::this_thread::sleep_for(5ms))
        if (condition()) return true;
    return false;
}

std::string echo(TCPClient& client, const std::string& text) {
    client.write(text);
    std::string reply(text.size(), '\0');
    return client.read_exact(reply.data(), reply.size()) ? reply : "<eof>";
}

bool closed_by_peer(TCPSocket& socket) {
    char byte;
    return socket.wait_readable(5) && socket.raw_read(&byte, 1) <= 0;
}

TEST(TCPServerTest, ServesConcurrentClientsOnPooledWorkers) {
    EchoServer server(1, 4);
    TCPServerThread thread(server);
    Clients clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<TCPClient>(server.end_point(), 5));
        EXPECT_EQ(echo(*clients.back(), std::string(i + 1, 'a')), std::string(i + 1, 'a'));
    }
    EXPECT_EQ(server.busy_workers(), 4u);
    clients.clear();
    // Finished workers return to the pool, and surplus spares are trimmed after the next accept
    // (which may answer before the trim has run).
    EXPECT_TRUE(eventually([&] { return server.busy_workers() == 0; }));
    TCPClient last(server.end_point(), 5);
    EXPECT_EQ(echo(last, "x"), "x");
    EXPECT_TRUE(eventually([&] { return server.spare_workers() <= 1; }));

    // A client that verify refuses is closed unserved.
    TCPSocket refused;
    ASSERT_TRUE(refused.bind(LOOPBACK, 0));
    server.refused_port = refused.local_end_point().port();
    const sockaddr_in target = server.end_point().to_sockaddr();
    ASSERT_EQ(::connect(refused.fd(), reinterpret_cast<const sockaddr*>(&target), sizeof target),
              0);
    EXPECT_TRUE(closed_by_peer(refused));
    EXPECT_EQ(server.served.load(), 5);
}

TEST(TCPServerTest, WaitingClientCanBeClaimedOnceWhenAllWorkersAreBusy) {
    EchoServer server(1, 2);
    TCPServerThread thread(server);
    TCPClient a(server.end_point(), 5), b(server.end_point(), 5);
    ASSERT_EQ(echo(a, "a") + echo(b, "b"), "ab");
    EXPECT_FALSE(server.claim_waiting_client());
    TCPClient c(server.end_point(), 5);  // accepted by the kernel, waiting for a worker
    ASSERT_TRUE(eventually([&] { return server.claim_waiting_client(); }));
    EXPECT_FALSE(server.claim_waiting_client());
    a.close();  // frees a worker for the waiting client
    EXPECT_EQ(echo(c, "c"), "c");
}

// Every worker blocked reading from a silent client, and the accept loop holding a sixth
// connection while it waits for a worker: shutdown must end all of it at once, cancelling nothing.
TEST(TCPServerTest, ShutdownStopsBusyWorkersAndWaitingAcceptLoop) {
    const unsigned long cancelled_before = MT::Thread::cancellations();
    auto server = std::make_unique<EchoServer>(1, 5);
    auto thread = std::make_unique<TCPServerThread>(*server);
    Clients clients;
    for (int i = 0; i < 6; ++i) {  // the sixth waits for a worker
        clients.push_back(std::make_unique<TCPClient>(server->end_point(), 5));
        ASSERT_TRUE(i == 5 || echo(*clients.back(), "x") == "x");
    }
    std::this_thread::sleep_for(50ms);
    const auto start = std::chrono::steady_clock::now();
    server->shutdown();  // with the accept loop still running
    thread.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_EQ(MT::Thread::cancellations(), cancelled_before);
    EXPECT_TRUE(server->busy_workers() == 0 && !server->listening());
    for (auto& client : clients)
        EXPECT_TRUE(closed_by_peer(*client));
    EXPECT_FALSE(TCPClient(EndPoint(LOOPBACK, server->port()), 1).connected());
    server->shutdown();  // a second call does nothing

    // Another listening socket on a port in use cannot bind, even with SO_REUSEADDR.
    EchoServer first, second(1, 10, first.port());
    EXPECT_TRUE(first.listening() && !second.listening() && !second.valid());
    second.run();  // returns at once
}

// A context whose handshake always fails: the TLS server must drop the connection, never serve
// it as plain TCP (which would send the details below).
class FailingContext : public SSL::Context {
  public:
    std::unique_ptr<SSL::Connection> accept(int) override { return ++accepts, nullptr; }
    std::unique_ptr<SSL::Connection> connect(int) override { return nullptr; }
    std::atomic<int> accepts{0};
};

class DetailsServer : public SSL::TCPServer {
  public:
    explicit DetailsServer(SSL::Context* context) : SSL::TCPServer(context, LOOPBACK, 0) {}
    ~DetailsServer() override { shutdown(); }

  protected:
    void process(SSL::TCPSocket& socket, const SSL::ClientDetails& client) override {
        socket.write(client.end_point.str() + "|" + client.cert_cn + "|" +
                     (socket.is_secure() ? "tls" : "plain"));
    }
};

TEST(SSLServerTest, PlainWithoutContextDroppedOnFailedHandshake) {
    DetailsServer plain(nullptr);
    TCPServerThread plain_thread(plain);
    TCPClient client(plain.end_point(), 5);
    std::string reply;
    client.read_all(reply);

    FailingContext context;
    DetailsServer server(&context);
    TCPServerThread thread(server);
    TCPClient dropped(server.end_point(), 5);
    dropped.read_all(reply);  // adds nothing
    EXPECT_EQ(reply, client.local_end_point().str() + "||plain");
    EXPECT_EQ(context.accepts.load(), 1);
    EXPECT_FALSE(SSL::TCPClient(&context, server.end_point(), 5).valid());
}

}  // namespace
}  // namespace Gantry::Net
