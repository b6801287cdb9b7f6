#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "gantry/net/socket_error.h"
#include "gantry/net/tcp_client.h"
#include "gantry/net/tcp_stream.h"

namespace Gantry::Net {
namespace {

// A listening socket on 127.0.0.1 with a port the system chose, made with plain system calls so
// that the client side is checked against something it did not build.
struct Listener {
    explicit Listener(int backlog = 5) {
        sockaddr_in address = EndPoint(IPAddress("127.0.0.1"), 0).to_sockaddr();
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::listen(fd, backlog), 0);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        end_point = EndPoint(address);
    }
    ~Listener() { ::close(fd); }
    int accept() { return ::accept(fd, nullptr, nullptr); }
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    EndPoint end_point;
};

TEST(TCPClientTest, ConnectsAndExchangesBytesOrFailsClosed) {
    Listener listener;
    TCPClient client(listener.end_point, 5);
    ASSERT_TRUE(client.connected() && client.valid());
    // The connect timeout must not linger as a receive timeout.
    timeval tv{1, 1};
    socklen_t length = sizeof tv;
    ASSERT_EQ(::getsockopt(client.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, &length), 0);
    EXPECT_EQ(tv.tv_sec + tv.tv_usec, 0);

    TCPSocket server_side(listener.accept());
    EXPECT_TRUE(client.remote_end_point() == listener.end_point &&
                server_side.remote_end_point() == client.local_end_point());

    client.write("hello");
    client.write_nbo_32(0x01020304);
    char first[] = "gather", second[] = "ed";  // gathered writes arrive in order
    EXPECT_EQ(client.sendmsg({{first, 6}, {second, 2}}, 0), 8u);
    char text[17];
    EXPECT_EQ(server_side.recv(text, sizeof text, MSG_WAITALL), 17u);  // flags pass through
    EXPECT_EQ(std::string(text, 17), "hello\x01\x02\x03\x04gathered");
    server_side.write_nbo_32(0xDEADBEEF);
    EXPECT_EQ(client.read_nbo_32(), 0xDEADBEEFu);

    const EndPoint closed = Listener().end_point;  // closed again before the connect
    TCPClient refused(closed);
    EXPECT_FALSE(refused.connected() || refused.valid());
    EXPECT_EQ(refused.raw_read(nullptr, 0), -1);

    // With a backlog of 0 the kernel queues one connection and drops the SYNs of the next,
    // so the second connect can only end by its timeout.
    Listener full(0);
    TCPClient queued(full.end_point, 5);
    ASSERT_TRUE(queued.connected());
    const auto start = std::chrono::steady_clock::now();
    TCPClient dropped(full.end_point, 1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(dropped.connected() || dropped.valid());
    EXPECT_TRUE(took > std::chrono::milliseconds(900) && took < std::chrono::seconds(4));
}

// The error a cooked operation throws; -1 when it throws nothing.
template <typename Operation>
int error_of(Operation operation) {
    try {
        operation();
    } catch (const SocketError& error) {
        return error.error();
    }
    return -1;
}

TEST(TCPSocketTest, ReadsEndAtPeerCloseOrTimeoutWritesFailWithoutSignal) {
    Listener listener;
    TCPClient client(listener.end_point);
    TCPSocket server_side(listener.accept());
    server_side.write(std::string(5000, 'q'));
    server_side.shutdown_write();
    std::string received;
    client.read_all(received);
    EXPECT_EQ(received, std::string(5000, 'q'));

    // Nothing more will come from the client: a receive timeout makes the cooked read throw.
    ASSERT_TRUE(server_side.set_timeout(0, 200000));
    char buffer[4];
    EXPECT_EQ(error_of([&] { server_side.read(buffer, 1); }), EAGAIN);
    EXPECT_TRUE(!server_side.wait_readable(0) && server_side.wait_writable(1));

    // Each client is sent three bytes, then the end of the connection.
    const auto cut_short = [&] {
        auto client = std::make_unique<TCPClient>(listener.end_point);
        TCPSocket(listener.accept()).write("xyz");
        return client;
    };
    auto short_client = cut_short();
    EXPECT_FALSE(short_client->read_exact(buffer, 4));
    EXPECT_EQ(short_client->read(buffer, 4), 0u);
    EXPECT_EQ(error_of([&] { cut_short()->read_nbo_32(); }), 0);  // "Socket EOF"

    // Once the peer has gone a write fails with EPIPE or ECONNRESET; no SIGPIPE kills the test.
    TCPClient writer(listener.end_point);
    { TCPSocket gone(listener.accept()); }
    int error = -1;
    for (int i = 0; i < 100 && error == -1; ++i)
        error = error_of([&] { writer.write(std::string(65536, 'x')); });
    EXPECT_TRUE(error == EPIPE || error == ECONNRESET) << error;
}

TEST(TCPStreamTest, LinesAndLargeBlocksBothWays) {
    Listener listener;
    TCPClient client(listener.end_point);
    TCPSocket server_side(listener.accept());
    TCPStream client_stream(client, 16, 16);
    TCPStream server_stream(server_side, 16, 16);

    const std::string big(100000, 'z');
    client_stream << "first line\nsecond\n" << big << std::flush;
    std::string line, second;
    ASSERT_TRUE(std::getline(server_stream, line) && std::getline(server_stream, second));
    EXPECT_EQ(line + "|" + second, "first line|second");
    std::string block(big.size(), '\0');
    ASSERT_TRUE(server_stream.read(block.data(), static_cast<std::streamsize>(block.size())));
    EXPECT_EQ(block, big);

    server_stream << "reply" << std::flush;
    server_side.shutdown_write();
    EXPECT_TRUE(std::getline(client_stream, line) && line == "reply" &&
                !std::getline(client_stream, line));
    EXPECT_EQ(client_stream.buffer().error(), 0);

    // A read deadline ends the wait for a peer that sends nothing more.
    server_stream.clear();
    const auto start = std::chrono::steady_clock::now();
    server_stream.buffer().set_read_deadline(start + std::chrono::milliseconds(200));
    EXPECT_FALSE(std::getline(server_stream, line));
    EXPECT_EQ(server_stream.buffer().error(), ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(SocketTest, OptionsBlockingModeAndClose) {
    TCPSocket socket;
    EXPECT_TRUE(socket.enable_reuse() && socket.set_tos(0x10) && socket.set_priority(3) &&
                socket.enable_keepalive() && socket.set_ttl(7) && socket.go_nonblocking() &&
                (::fcntl(socket.fd(), F_GETFL) & O_NONBLOCK));
    EXPECT_TRUE(socket.go_blocking() && !(::fcntl(socket.fd(), F_GETFL) & O_NONBLOCK));
    socket.close();
    socket.close();
    EXPECT_FALSE(socket.valid() || socket.set_ttl(1) || socket.local_end_point().address().valid());
}

}  // namespace
}  // namespace Gantry::Net
