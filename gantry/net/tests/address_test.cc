#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>

#include "gantry/net/address.h"
#include "gantry/net/socket_error.h"
#include "tests/support/test_support.h"

namespace Gantry::Net {
namespace {

using Corvid::Testing::run_command;

template <typename T>
std::string streamed(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

TEST(IPAddressTest, DottedTextInvalidFormsAndLookups) {
    EXPECT_EQ(IPAddress("192.168.1.20").value(), 0xC0A80114u);
    EXPECT_EQ(streamed(IPAddress("192.168.1.20")), "192.168.1.20");
    EXPECT_TRUE(IPAddress("239.1.2.3").is_multicast() && !IPAddress("10.1.2.3").is_multicast());
    for (const char* invalid : {"1.2.3.x", "", "no-such-host.invalid"}) {
        EXPECT_FALSE(IPAddress(invalid).valid()) << invalid;
        EXPECT_EQ(IPAddress(invalid).dotted(), "255.255.255.255") << invalid;
    }
    EXPECT_FALSE(IPAddress().valid());

    // TEST-NET-2 addresses are never given names: the dotted text stands in.
    EXPECT_EQ(IPAddress("198.51.100.77").host_name(), "198.51.100.77");
    CORVID_REQUIRE_PROGRAM("getent");
    int status = -1;
    std::string address_of_localhost, ignored, name_of_loopback;
    std::istringstream(run_command("getent ahostsv4 localhost", &status)) >> address_of_localhost;
    if (status != 0) GTEST_SKIP() << "localhost does not resolve on this machine";
    std::istringstream(run_command("getent hosts 127.0.0.1", &status)) >> ignored >>
        name_of_loopback;
    if (status != 0) GTEST_SKIP() << "127.0.0.1 has no name on this machine";
    EXPECT_EQ(IPAddress("localhost").dotted(), address_of_localhost);
    EXPECT_EQ(IPAddress("127.0.0.1").host_name(), name_of_loopback);
}

TEST(AddressTextTest, MaskedAddressesProtocolsAndErrors) {
    const char* cases[][2] = {
        {"10.1.2.3", "10.1.2.3"},
        {"10.0.0.0/8", "10.0.0.0/8"},
        {"172.16.0.0/255.240.0.0", "172.16.0.0/12"},
        {"0.0.0.0/0", "0.0.0.0/0"},
        {"1.2.3.4/32", "1.2.3.4"},
        {"1.2.3.4/99", "1.2.3.4"},  // more bits than an address has still mean one host
    };
    for (const auto& [text, out] : cases)
        EXPECT_EQ(streamed(MaskedAddress(text)), out) << text;
    EXPECT_EQ(MaskedAddress("172.16.0.0/255.240.0.0").mask(), 0xFFF00000u);
    EXPECT_EQ(MaskedAddress("10.0.0.0/8").address().value(), 0x0A000000u);
    EXPECT_EQ(streamed(EndPoint(IPAddress("10.1.2.3"), 40312)), "10.1.2.3:40312");
    const MaskedAddress net("192.168.4.0/22");
    EXPECT_TRUE(net.matches(IPAddress("192.168.7.255")) && !net.matches(IPAddress("192.168.8.0")));
    EXPECT_TRUE(MaskedAddress("0.0.0.0/0").matches(IPAddress("8.8.8.8")));

    std::string parsed;
    for (const char* text : {"TCP", "tcp", "udp", "UDP", "Tcp", ""})
        parsed += streamed(parse_protocol(text));
    EXPECT_EQ(parsed, "TCPTCPUDPUDP?UKNOWN??UKNOWN?");  // the odd spelling is the promised text
    EXPECT_STREQ(SocketError(0).what(), "Socket EOF");
    EXPECT_TRUE(SocketError(0).is_eof() && !SocketError(EPIPE).is_eof());
    EXPECT_STREQ(SocketError(ECONNREFUSED).what(), "Socket Error (111): Connection refused");
}

}  // namespace
}  // namespace Gantry::Net
