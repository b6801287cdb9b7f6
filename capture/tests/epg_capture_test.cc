// Guide stream captures: set-up and its refusals, a quiet stop, and a real guide stream sent to a
// group whose events reach the services the channel captures own. Group joins are checked in the
// kernel's own list, in a private network namespace.
#include "capture/epg_capture.h"

#include <gtest/gtest.h>

#include "capture/tests/source_support.h"
#include "epg/epg_store.h"
#include "gantry/mt/thread.h"
#include "gantry/xml/parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

namespace XML = Gantry::XML;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

std::unique_ptr<EPGCapture> make(const std::string& id, const std::string& source,
                                 EPGDecoder& decoder) {
    XML::Parser parser;
    parser.read("<stream id=\"" + id + "\"><source " + source + "/></stream>");
    return std::make_unique<EPGCapture>(parser.root(), decoder);
}

TEST(EPGCaptureTest, SetUpRefusalsAndAQuietStop) {
    Testing::LogCapture log;
    EPGStore store;
    EPGDecoder decoder(store);
    // Without a port the system picks one, where nothing arrives.
    auto capture = make("u", R"(address="127.0.0.1")", decoder);
    ASSERT_TRUE(capture->valid());
    EXPECT_NE(capture->local_end_point().port(), 0);
    EXPECT_EQ(capture->id(), "u");

    EXPECT_FALSE(make("a", R"(address="no.such.host.invalid")", decoder)->valid());
    EXPECT_FALSE(make("b", R"(address="192.0.2.1" port="5000")", decoder)->valid());
    EXPECT_FALSE(make("c", R"(address="239.1.1.1" interface="nosuch0")", decoder)->valid());
    EXPECT_FALSE(make("d", R"(address="239.1.1.1" rtp="maybe")", decoder)->valid());

    // Shutting the socket down ends the blocked receive: no cancellation, no socket error.
    const unsigned long cancelled = Gantry::MT::Thread::cancellations();
    capture->shutdown();
    capture->shutdown();
    EXPECT_EQ(Gantry::MT::Thread::cancellations(), cancelled);
    EXPECT_TRUE(log.has_line("2 Starting EPG capture 'u' from 127.0.0.1:0"));
    EXPECT_TRUE(log.has_line("3 EPG Capture 'u' ended"));
    EXPECT_EQ(log.errors(),
              (std::vector<std::string>{
                  "EPG Capture 'a' - bad source address: no.such.host.invalid",
                  "EPG Capture 'b' can't create socket on port 5000",
                  "EPG Capture 'c' can't join multicast 239.1.1.1: no interface nosuch0",
                  "EPG Capture 'd' - bad source rtp: maybe (auto, yes or no)"}));
}

std::string groups_on_loopback() {
    return Testing::run_command("ip maddr show dev lo");
}

// The events of M6 (service 0x0401), as another tool decoded them from the same capture.
TEST(EPGCaptureTest, GroupJoinedAndEventsReachOwnedServicesOnly) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/epg/tsduck-test-184.ts");
    CORVID_IN_NETNS(LOOPBACK_GROUPS);
    Testing::LogCapture log;
    EPGStore store;
    EPGDecoder decoder(store);
    store.add_service("m6", Duration(86400), 0x0401, "", "", Stamp("2019-01-22T00:00:00Z"));
    auto capture = make("guide", R"(address="239.1.1.1" port="5600")", decoder);
    ASSERT_TRUE(capture->valid());
    EXPECT_NE(groups_on_loopback().find("239.1.1.1"), std::string::npos);

    const auto datagrams = datagrams_of(Testing::read_file(path));
    Gantry::Net::UDPSocket sender;
    send_all(sender, {Gantry::Net::IPAddress("239.1.1.1"), 5600}, datagrams);
    EPGEvent event;
    EXPECT_TRUE(eventually([&] { return store.find_event("m6", 0x0010, event); }));
    EXPECT_EQ(event.name, "Programmes de nuit");
    EXPECT_EQ(event.start.iso(), "2019-01-22T01:35:00Z");
    EXPECT_TRUE(eventually([&] { return capture->counters().datagrams == datagrams.size(); }));
    capture->shutdown();
    EXPECT_EQ(capture->counters().ring_drops + capture->counters().kernel_drops, 0u);
    ASSERT_TRUE(store.find_event("m6", 0x0012, event));
    EXPECT_EQ(event.name, "Martine");
    std::vector<EPGServiceSummary> services;
    store.list_services(services);
    EXPECT_EQ(services.size(), 1u);  // the guide's other services are nobody's
    EXPECT_EQ(groups_on_loopback().find("239.1.1.1"), std::string::npos);
    EXPECT_TRUE(log.errors().empty()) << ::testing::PrintToString(log.errors());
}

}  // namespace
}  // namespace Corvid::Capture
