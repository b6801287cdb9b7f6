// Where captures join: on the interface named (by name or by address) and, for source-specific
// multicast, from the one sender chosen; the capture element form keeps those settings. Two
// interfaces besides loopback (a bridge and a tap) in a private network namespace.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "capture/capture.h"
#include "capture/epg_capture.h"
#include "capture/tests/source_support.h"
#include "epg/epg_store.h"
#include "gantry/xml/parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

namespace XML = Gantry::XML;
using Gantry::Net::EndPoint;
using Gantry::Net::IPAddress;
using Gantry::Net::UDPSocket;

std::unique_ptr<XML::Element> parse(const std::string& text) {
    XML::Parser parser;
    parser.read(text);
    return parser.detach_root();
}

// Sends count null packets to the group from a local address, out of its interface.
void send_from(const char* local, const char* group, int count) {
    UDPSocket socket(IPAddress(local), 0);
    ASSERT_TRUE(socket.set_multicast_interface(IPAddress(local)));
    std::vector<uint8_t> packet(188, 0xFF);
    packet[0] = 0x47;
    packet[1] = 0x1F;
    packet[3] = 0x10;
    for (int i = 0; i < count; i++)
        socket.send_to(packet.data(), packet.size(), 0, EndPoint(IPAddress(group), 6000));
}

std::string source_filters() {
    std::ifstream file("/proc/net/mcfilter");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(SourceTest, JoinsOnTheNamedInterfaceFromTheChosenSender) {
    CORVID_IN_NETNS(TWO_INTERFACES);
    Testing::TempDir dir;
    Testing::LogCapture log;
    EPGStore store;
    EPGDecoder decoder(store);
    const auto defaults = parse(R"(<default><source interface="br0" rtp="no"/></default>)");
    const auto on_bridge = parse(R"(<capture id="br"><source address="239.2.2.2" port="6000"/>
        <file prefix=")" + dir.path() +
                                 "/\"/></capture>");
    const auto ssm = parse(R"(<capture id="ssm"><source address="239.3.3.3" port="6000"
        rtp="yes" interface="br0" source="10.1.0.2"/><file prefix=")" +
                           dir.path() + "/\"/></capture>");
    Capture bridge(*on_bridge, *defaults, decoder, true);
    Capture chosen(*ssm, XML::Element::none, decoder, true);
    EPGCapture tap(*parse(R"(<stream id="tap"><source address="239.2.2.2" port="6000"
        interface="10.2.0.1"/></stream>)"),
                   decoder);
    EPGCapture any(*parse(R"(<stream id="any"><source address="239.3.3.3" port="6000"
        interface="br0"/></stream>)"),
                   decoder);
    ASSERT_TRUE(bridge.valid() && chosen.valid() && tap.valid() && any.valid());
    EXPECT_NE(source_filters().find("0xef030303 0x0a010002"), std::string::npos)
        << source_filters();

    // What each should not get goes first, on the same paths as what it should.
    send_from("10.2.0.1", "239.3.3.3", 4);
    send_from("10.1.0.1", "239.3.3.3", 3);
    send_from("10.1.0.2", "239.3.3.3", 2);
    send_from("10.2.0.1", "239.2.2.2", 5);
    send_from("10.1.0.1", "239.2.2.2", 6);
    EXPECT_TRUE(eventually([&] {
        return bridge.counters().datagrams == 6 && tap.counters().datagrams == 5 &&
               chosen.counters().datagrams == 2 && any.counters().datagrams == 5;
    })) << bridge.counters().datagrams
        << " " << tap.counters().datagrams << " " << chosen.counters().datagrams << " "
        << any.counters().datagrams;
    // A bare stream where RTP was promised is counted and dropped.
    EXPECT_TRUE(eventually([&] { return chosen.counters().rtp_rejected == 2; }));

    // The element form keeps what was set (the defaults' too) and reads back the same.
    XML::Element form("capture");
    chosen.describe(form);
    EXPECT_EQ(form.get_child("source").to_string(),
              "<source address=\"239.3.3.3\" interface=\"br0\" port=\"6000\" rtp=\"yes\" "
              "source=\"10.1.0.2\"/>\n");
    XML::Element layered("capture");
    bridge.describe(layered);
    EXPECT_EQ(layered.get_child("source").to_string(),
              "<source address=\"239.2.2.2\" interface=\"br0\" port=\"6000\" rtp=\"no\"/>\n");
    CaptureSettings again;
    ASSERT_TRUE(again.read(form, XML::Element::none));
    EXPECT_EQ(again.source.source, IPAddress("10.1.0.2"));

    chosen.stop();
    EXPECT_EQ(source_filters().find("0xef030303 0x0a010002"), std::string::npos);
    EXPECT_TRUE(log.errors().empty()) << ::testing::PrintToString(log.errors());
}

}  // namespace
}  // namespace Corvid::Capture
