#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "gantry/net/socket_error.h"
#include "gantry/net/udp_socket.h"
#include "tests/support/test_support.h"

namespace Gantry::Net {
namespace {

const IPAddress LOOPBACK("127.0.0.1");

TEST(UDPSocketTest, BoundConnectedAndFailedForms) {
    UDPSocket a(LOOPBACK, 0);
    const EndPoint a_end = a.local_end_point();
    UDPSocket b(LOOPBACK, 0, LOOPBACK, a_end.port());
    ASSERT_TRUE(a.valid() && b.valid());
    char buffer[64];
    EndPoint from;
    b.send("xyz", 3);
    EXPECT_EQ(std::string(buffer, a.receive(buffer, sizeof buffer, 0, &from)), "xyz");
    EXPECT_EQ(from, b.local_end_point());
    a.send_to("back", 4, 0, from);
    EXPECT_EQ(std::string(buffer, b.receive(buffer, sizeof buffer)), "back");

    // A port taken without reuse, or a refused connect (broadcast without SO_BROADCAST), leaves
    // the socket closed.
    EXPECT_FALSE(UDPSocket(LOOPBACK, a_end.port()).valid() || UDPSocket(a_end.port()).valid() ||
                 UDPSocket(LOOPBACK, a_end.port(), LOOPBACK, 9).valid() ||
                 UDPSocket(LOOPBACK, 0, IPAddress("255.255.255.255"), 9).valid());
    a.close();
    EXPECT_EQ(a.raw_receive(buffer, sizeof buffer), -1);
    EXPECT_THROW(a.send_to(buffer, 1, 0, a_end), SocketError);
}

TEST(UDPSocketTest, InterfacesByNameOrAddress) {
    const unsigned lo = UDPSocket::interface_index("lo");
    EXPECT_NE(lo, 0u);
    EXPECT_EQ(UDPSocket::interface_index("127.0.0.1"), lo);
    // Neither a name nor a local address; a host name is not looked up.
    for (const char* unknown : {"", "nosuch0", "192.0.2.1", "localhost"})
        EXPECT_EQ(UDPSocket::interface_index(unknown), 0u) << unknown;
}

// Multicast without a named interface leaves by the real interface: the test re-runs this binary
// in a private network namespace whose loopback carries 239.0.0.0/8, with GANTRY_NET_NETNS set.
TEST(UDPMulticastTest, JoinSendReceiveLeaveOnLoopback) {
    using Corvid::Testing::run_command, Corvid::Testing::shell_quote;
    if (!std::getenv("GANTRY_NET_NETNS")) {
        CORVID_REQUIRE_PROGRAM("unshare");
        CORVID_REQUIRE_PROGRAM("ip");
        int status = -1;
        run_command("unshare -n true 2>/dev/null", &status);
        if (status != 0) GTEST_SKIP() << "this sandbox forbids private network namespaces";
        // A bridge and a tap: two interfaces besides loopback for the joins on one of them.
        const std::string interfaces =
            "ip link add br0 type bridge && ip tuntap add dev tap1 mode tap && "
            "ip addr add 10.1.0.1/24 dev br0 && ip addr add 10.1.0.2/24 dev br0 && "
            "ip addr add 10.2.0.1/24 dev tap1 && ip link set br0 up && ip link set tap1 up && ";
        const std::string inner = std::string("GANTRY_NET_NETNS=1 exec ") +
                                  shell_quote(std::filesystem::read_symlink("/proc/self/exe")) +
                                  " --gtest_filter=UDPMulticastTest.*";
        const std::string output =
            run_command("unshare -n sh -c " +
                            shell_quote("ip link set lo up && ip route add 239.0.0.0/8 dev lo && " +
                                        interfaces + inner) +
                            " 2>&1",
                        &status);
        EXPECT_EQ(status, 0) << output;
        EXPECT_NE(output.find("[  PASSED  ] 2 tests"), std::string::npos) << output;
        return;
    }
    const IPAddress group("239.192.10.20");
    UDPSocket receiver(group, 0, true);
    ASSERT_TRUE(receiver.valid());
    const uint16_t port = receiver.local_end_point().port();
    ASSERT_TRUE(receiver.join_multicast_group(group));
    // The system refuses a duplicate membership on the same socket.
    EXPECT_FALSE(receiver.join_multicast_group(group));

    UDPSocket sender;
    ASSERT_TRUE(sender.set_multicast_ttl(1));
    sender.send_to("packet", 6, 0, EndPoint(group, port));
    ASSERT_TRUE(receiver.wait_readable(2)) << "the datagram did not arrive";
    char buffer[64];
    EndPoint from;
    EXPECT_EQ(std::string(buffer, receiver.receive(buffer, sizeof buffer, 0, &from)), "packet");
    EXPECT_EQ(from.port(), sender.local_end_point().port());

    // Bound to the group address, the socket does not see unicast sent to its port.
    sender.send_to("unicast", 7, 0, EndPoint(LOOPBACK, port));
    EXPECT_FALSE(receiver.wait_readable(1));

    ASSERT_TRUE(receiver.leave_multicast_group(group));
    sender.send_to("late", 4, 0, EndPoint(group, port));
    EXPECT_FALSE(receiver.wait_readable(1));
}

// A join on one interface gets nothing sent out of another; a source-specific join gets only its
// sender's datagrams.
TEST(UDPMulticastTest, InterfaceAndSourceJoins) {
    if (!std::getenv("GANTRY_NET_NETNS")) GTEST_SKIP() << "runs in the namespace of the test above";
    const IPAddress group("239.192.10.30");
    const auto joined = [&](const char* interface, IPAddress source) {
        auto socket = std::make_unique<UDPSocket>(group, 7000, true);
        EXPECT_TRUE(socket->set_multicast_all(false));
        EXPECT_TRUE(socket->join_group(group, UDPSocket::interface_index(interface), source));
        return socket;
    };
    const auto bridge = joined("br0", IPAddress()), tap = joined("10.2.0.1", IPAddress()),
               chosen = joined("br0", IPAddress("10.1.0.2"));
    for (const char* from : {"10.2.0.1", "10.1.0.1", "10.1.0.2"}) {
        UDPSocket sender(IPAddress(from), 0);
        ASSERT_TRUE(sender.set_multicast_interface(IPAddress(from)));
        sender.send_to(from, std::strlen(from), 0, EndPoint(group, 7000));
    }
    const auto received = [](UDPSocket& socket) {
        socket.set_timeout(0, 100000);
        std::string all;
        char buffer[16];
        for (ssize_t n; (n = socket.raw_receive(buffer, sizeof buffer)) > 0;)
            all += std::string(buffer, n) + " ";
        return all;
    };
    EXPECT_EQ(received(*bridge) + "/ " + received(*tap) + "/ " + received(*chosen),
              "10.1.0.1 10.1.0.2 / 10.2.0.1 / 10.1.0.2 ");
    EXPECT_TRUE(
        chosen->leave_group(group, UDPSocket::interface_index("br0"), IPAddress("10.1.0.2")));
    EXPECT_FALSE(
        chosen->leave_group(group, UDPSocket::interface_index("br0"), IPAddress("10.1.0.2")));
}

}  // namespace
}  // namespace Gantry::Net
