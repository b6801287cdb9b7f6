#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>

#include "gantry/net/address.h"
#include "gantry/net/socket_error.h"
#include "tests/support/test_support.h"

namespace Gantry::Net {
namespace {

using Corvid::Testing::run_command;

std::string first_word(const std::string& line) {
    return line.substr(0, line.find_first_of(" \t\n"));
}

TEST(IPAddressTest, DottedTextRoundTripsInHostOrder) {
    const IPAddress address("192.168.1.20");
    EXPECT_EQ(address.value(), 0xC0A80114u);
    EXPECT_EQ(address.dotted(), "192.168.1.20");
    std::ostringstream out;
    out << address;
    EXPECT_EQ(out.str(), "192.168.1.20");
    EXPECT_TRUE(IPAddress("239.1.2.3").is_multicast());
    EXPECT_FALSE(IPAddress("10.1.2.3").is_multicast());
}

TEST(IPAddressTest, InvalidForms) {
    EXPECT_FALSE(IPAddress().valid());
    EXPECT_FALSE(IPAddress("1.2.3.x").valid());
    EXPECT_FALSE(IPAddress("").valid());
    EXPECT_FALSE(IPAddress("no-such-host.invalid").valid());
    EXPECT_EQ(IPAddress("no-such-host.invalid").value(), 0xFFFFFFFFu);
    EXPECT_EQ(IPAddress("no-such-host.invalid").dotted(), "255.255.255.255");
}

TEST(IPAddressTest, HostNameLookupsAgreeWithGetent) {
    CORVID_REQUIRE_PROGRAM("getent");
    int status = -1;
    const std::string forward = run_command("getent ahostsv4 localhost", &status);
    if (status != 0) GTEST_SKIP() << "localhost does not resolve on this machine";
    EXPECT_EQ(IPAddress("localhost").dotted(), first_word(forward));

    const std::string reverse = run_command("getent hosts 127.0.0.1", &status);
    if (status != 0) GTEST_SKIP() << "127.0.0.1 has no name on this machine";
    const std::string name_field = reverse.substr(reverse.find_first_of(" \t"));
    const std::string name = first_word(name_field.substr(name_field.find_first_not_of(" \t")));
    EXPECT_EQ(IPAddress("127.0.0.1").host_name(), name);
}

TEST(IPAddressTest, ReverseLookupFailureGivesDottedText) {
    // TEST-NET-2 addresses are never given names.
    EXPECT_EQ(IPAddress("198.51.100.77").host_name(), "198.51.100.77");
}

TEST(MaskedAddressTest, ParseForms) {
    const MaskedAddress host("10.1.2.3");
    EXPECT_EQ(host.mask(), 0xFFFFFFFFu);
    EXPECT_EQ(host.str(), "10.1.2.3");

    const MaskedAddress bits("10.0.0.0/8");
    EXPECT_EQ(bits.address().value(), 0x0A000000u);
    EXPECT_EQ(bits.mask(), 0xFF000000u);
    EXPECT_EQ(bits.str(), "10.0.0.0/8");

    const MaskedAddress dotted("172.16.0.0/255.240.0.0");
    EXPECT_EQ(dotted.mask(), 0xFFF00000u);
    EXPECT_EQ(dotted.str(), "172.16.0.0/12");

    EXPECT_EQ(MaskedAddress("0.0.0.0/0").mask(), 0u);
    EXPECT_EQ(MaskedAddress("0.0.0.0/0").str(), "0.0.0.0/0");
    EXPECT_EQ(MaskedAddress("1.2.3.4/32").str(), "1.2.3.4");
    // More bits than an address has cannot mean more than one host.
    EXPECT_EQ(MaskedAddress("1.2.3.4/99").mask(), 0xFFFFFFFFu);

    std::ostringstream out;
    out << MaskedAddress("192.168.0.0/16");
    EXPECT_EQ(out.str(), "192.168.0.0/16");
}

TEST(MaskedAddressTest, Matching) {
    const MaskedAddress net("192.168.4.0/22");
    EXPECT_TRUE(net.matches(IPAddress("192.168.7.255")));
    EXPECT_FALSE(net.matches(IPAddress("192.168.8.0")));
    EXPECT_TRUE(MaskedAddress("0.0.0.0/0").matches(IPAddress("8.8.8.8")));
}

TEST(EndPointTest, OutputAndSockaddr) {
    const EndPoint end_point(IPAddress("10.1.2.3"), 40312);
    EXPECT_EQ(end_point.str(), "10.1.2.3:40312");
    std::ostringstream out;
    out << end_point;
    EXPECT_EQ(out.str(), "10.1.2.3:40312");
    const sockaddr_in raw = end_point.to_sockaddr();
    EXPECT_EQ(raw.sin_port, htons(40312));
    EXPECT_EQ(raw.sin_addr.s_addr, htonl(0x0A010203u));
    EXPECT_EQ(EndPoint(raw), end_point);
}

TEST(ProtocolTest, ParseAndOutput) {
    EXPECT_EQ(parse_protocol("TCP"), Protocol::TCP);
    EXPECT_EQ(parse_protocol("tcp"), Protocol::TCP);
    EXPECT_EQ(parse_protocol("udp"), Protocol::UDP);
    EXPECT_EQ(parse_protocol("UDP"), Protocol::UDP);
    EXPECT_EQ(parse_protocol("Tcp"), Protocol::UNKNOWN);
    EXPECT_EQ(parse_protocol(""), Protocol::UNKNOWN);
    std::ostringstream out;
    out << Protocol::TCP << ' ' << Protocol::UDP << ' ' << Protocol::UNKNOWN;
    EXPECT_EQ(out.str(), "TCP UDP ?UKNOWN?");
    EXPECT_EQ(static_cast<int>(Protocol::UNKNOWN), 0);
    EXPECT_EQ(static_cast<int>(Protocol::TCP), 1);
    EXPECT_EQ(static_cast<int>(Protocol::UDP), 2);
}

TEST(SocketErrorTest, Texts) {
    EXPECT_STREQ(SocketError(0).what(), "Socket EOF");
    EXPECT_TRUE(SocketError(0).is_eof());
    EXPECT_STREQ(SocketError(ECONNREFUSED).what(), "Socket Error (111): Connection refused");
    EXPECT_EQ(SocketError(EPIPE).error(), EPIPE);
}

}  // namespace
}  // namespace Gantry::Net
