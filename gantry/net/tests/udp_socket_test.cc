#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "gantry/net/socket_error.h"
#include "gantry/net/udp_socket.h"
#include "tests/support/test_support.h"

namespace Gantry::Net {
namespace {

const IPAddress LOOPBACK("127.0.0.1");

TEST(UDPSocketTest, UnicastSendAndReceiveWithSender) {
    UDPSocket receiver(LOOPBACK, 0);
    ASSERT_TRUE(receiver.valid());
    const EndPoint target = receiver.local_end_point();
    ASSERT_NE(target.port(), 0);

    UDPSocket sender(LOOPBACK, 0);
    sender.send_to("datagram", 8, 0, target);
    char buffer[64];
    EndPoint from;
    ASSERT_EQ(receiver.receive(buffer, sizeof buffer, 0, &from), 8u);
    EXPECT_EQ(std::string(buffer, 8), "datagram");
    EXPECT_EQ(from, sender.local_end_point());
}

TEST(UDPSocketTest, PortTakenWithoutReuseGivesInvalidSocket) {
    UDPSocket first(LOOPBACK, 0);
    ASSERT_TRUE(first.valid());
    UDPSocket second(LOOPBACK, first.local_end_point().port());
    EXPECT_FALSE(second.valid());
    UDPSocket any_port(first.local_end_point().port());
    EXPECT_FALSE(any_port.valid());
}

TEST(UDPSocketTest, ConnectedFormUsesItsPeer) {
    UDPSocket a(LOOPBACK, 0);
    const EndPoint a_end = a.local_end_point();
    UDPSocket b(LOOPBACK, 0, LOOPBACK, a_end.port());
    ASSERT_TRUE(b.valid());
    b.send("xyz", 3);
    char buffer[8];
    EndPoint from;
    ASSERT_EQ(a.receive(buffer, sizeof buffer, 0, &from), 3u);
    EXPECT_EQ(from, b.local_end_point());
    a.send_to("back", 4, 0, from);
    ASSERT_EQ(b.receive(buffer, sizeof buffer), 4u);
    EXPECT_EQ(std::string(buffer, 4), "back");

    // A failed bind or a refused connect (broadcast without SO_BROADCAST) leaves it closed.
    UDPSocket taken(LOOPBACK, a_end.port(), LOOPBACK, 9);
    EXPECT_FALSE(taken.valid());
    UDPSocket broadcast(LOOPBACK, 0, IPAddress("255.255.255.255"), 9);
    EXPECT_FALSE(broadcast.valid());
}

TEST(UDPSocketTest, ReceiveOnClosedSocketThrows) {
    UDPSocket socket;
    socket.close();
    char buffer[4];
    EXPECT_EQ(socket.raw_receive(buffer, sizeof buffer), -1);
    EXPECT_THROW(socket.receive(buffer, sizeof buffer), SocketError);
    EXPECT_THROW(socket.send_to(buffer, 1, 0, EndPoint(LOOPBACK, 9)), SocketError);
}

// Multicast without a named interface leaves through the machine's real interface, so these
// checks run only inside a private network namespace whose loopback carries 239.0.0.0/8. The test
// re-executes this binary there; the inner run sees GANTRY_NET_NETNS set.
constexpr const char* NETNS_FLAG = "GANTRY_NET_NETNS";

void multicast_checks() {
    const IPAddress group("239.192.10.20");
    UDPSocket receiver(group, 0, true);
    ASSERT_TRUE(receiver.valid());
    const uint16_t port = receiver.local_end_point().port();
    ASSERT_TRUE(receiver.join_multicast_group(group));
    // The system refuses a duplicate membership on the same socket.
    EXPECT_FALSE(receiver.join_multicast_group(group));

    UDPSocket sender;
    ASSERT_TRUE(sender.set_multicast_ttl(1));
    for (int i = 0; i < 3; ++i) {
        const std::string payload = "packet " + std::to_string(i);
        sender.send_to(payload.data(), payload.size(), 0, EndPoint(group, port));
        ASSERT_TRUE(receiver.wait_readable(2)) << "datagram " << i << " did not arrive";
        char buffer[64];
        EndPoint from;
        const size_t got = receiver.receive(buffer, sizeof buffer, 0, &from);
        EXPECT_EQ(std::string(buffer, got), payload);
        EXPECT_EQ(from.port(), sender.local_end_point().port());
    }

    // Bound to the group address, the socket does not see unicast sent to its port.
    sender.send_to("unicast", 7, 0, EndPoint(LOOPBACK, port));
    EXPECT_FALSE(receiver.wait_readable(1));

    ASSERT_TRUE(receiver.leave_multicast_group(group));
    EXPECT_FALSE(receiver.leave_multicast_group(group));
    sender.send_to("late", 4, 0, EndPoint(group, port));
    EXPECT_FALSE(receiver.wait_readable(1));
}

TEST(UDPMulticastTest, JoinSendReceiveLeaveOnLoopback) {
    if (std::getenv(NETNS_FLAG)) {
        multicast_checks();
        return;
    }
    CORVID_REQUIRE_PROGRAM("unshare");
    CORVID_REQUIRE_PROGRAM("ip");
    int status = -1;
    Corvid::Testing::run_command("unshare -n true 2>/dev/null", &status);
    if (status != 0) GTEST_SKIP() << "this sandbox forbids private network namespaces (unshare -n)";

    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = '\0';
    const std::string inner = std::string(NETNS_FLAG) + "=1 exec " +
                              Corvid::Testing::shell_quote(self) +
                              " --gtest_filter=UDPMulticastTest.JoinSendReceiveLeaveOnLoopback";
    const std::string command =
        "unshare -n sh -c " +
        Corvid::Testing::shell_quote("ip link set lo up && ip route add 239.0.0.0/8 dev lo && " +
                                     inner) +
        " 2>&1";
    const std::string output = Corvid::Testing::run_command(command, &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

}  // namespace
}  // namespace Gantry::Net
