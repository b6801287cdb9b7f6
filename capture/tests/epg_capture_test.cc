// Guide stream captures: set-up refusals, a quiet stop, and a real guide stream sent to a group
// (joined and left as the kernel lists it) whose events reach only services a channel owns.
#include "capture/epg_capture.h"

#include "capture/tests/source_netns.h"
#include "epg/epg_store.h"
#include "gantry/mt/thread.h"
#include "gantry/xml/parser.h"
#include "tests/support/log_capture.h"

namespace Corvid::Capture {
namespace {

std::unique_ptr<EPGCapture> make(const std::string& id, const std::string& source,
                                 EPGDecoder& decoder) {
    Gantry::XML::Parser parser;
    parser.read("<stream id=\"" + id + "\"><source " + source + "/></stream>");
    return std::make_unique<EPGCapture>(parser.root(), decoder);
}

TEST(EPGCaptureTest, RefusalsAndAQuietStop) {
    Testing::LogCapture log;
    EPGStore store;
    EPGDecoder decoder(store);
    auto capture = make("u", R"(address="127.0.0.1")", decoder);  // port 0: nobody sends there
    ASSERT_TRUE(capture->valid());
    for (const char* bad : {R"(address="no.such.host.invalid")", R"(address="192.0.2.1" port="9")",
                            R"(address="239.1.1.1" interface="nosuch0")"})
        EXPECT_FALSE(make("x", bad, decoder)->valid()) << bad;
    // Shutting the socket down ends the blocked receive: no cancellation, no socket error.
    const unsigned long cancelled = Gantry::MT::Thread::cancellations();
    capture->shutdown();
    capture->shutdown();
    EXPECT_EQ(Gantry::MT::Thread::cancellations(), cancelled);
    EXPECT_TRUE(log.has_line("2 Starting EPG capture 'u' from 127.0.0.1:0"));
    EXPECT_TRUE(log.has_line("3 EPG Capture 'u' ended"));
    EXPECT_EQ(log.errors(), (std::vector<std::string>{
                                "EPG Capture 'x' - bad source address: no.such.host.invalid",
                                "EPG Capture 'x' can't create socket on port 9",
                                "EPG Capture 'x' can't join multicast 239.1.1.1: no interface "
                                "nosuch0"}));
}

// The oracle: M6's (0x0401) events as another tool decoded them from this capture.
TEST(EPGCaptureTest, GroupJoinedAndEventsReachOwnedServicesOnly) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/epg/tsduck-test-184.ts");
    CORVID_IN_NETNS();
    Testing::LogCapture log;
    EPGStore store;
    EPGDecoder decoder(store);
    store.add_service("m6", Gantry::Time::Duration(86400), 0x0401, "", "",
                      Gantry::Time::Stamp("2019-01-22T00:00:00Z"));
    auto capture = make("guide", R"(address="239.1.1.1" port="5600")", decoder);
    ASSERT_TRUE(capture->valid());
    const auto joined = [] {
        return Testing::run_command("ip maddr show dev lo").find("239.1.1.1");
    };
    EXPECT_NE(joined(), std::string::npos);
    const auto datagrams = datagrams_of(Testing::read_file(path));
    send_all(datagrams, {Gantry::Net::IPAddress("239.1.1.1"), 5600});
    EPGEvent event;
    EXPECT_TRUE(eventually([&] { return store.find_event("m6", 0x0012, event); }));
    EXPECT_EQ(event.name + " " + event.start.iso(), "Martine 2019-01-22T06:05:00Z");
    EXPECT_TRUE(eventually([&] { return capture->counters().datagrams == datagrams.size(); }));
    capture->shutdown();
    std::vector<EPGServiceSummary> services;
    store.list_services(services);
    EXPECT_EQ(services.size(), 1u);
    EXPECT_EQ(joined(), std::string::npos);
    EXPECT_TRUE(log.errors().empty()) << ::testing::PrintToString(log.errors());
}

}  // namespace
}  // namespace Corvid::Capture
