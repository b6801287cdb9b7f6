// Tube::Client against the independent Python bus server: a round trip after each way the server
// can break the stream, and a server that is not there yet.
#include "gantry/tube/client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "gantry/tube/tests/bus_server.h"
#include "tests/support/log_capture.h"

namespace Gantry::Tube {
namespace {

using namespace Corvid::Testing;
constexpr Options FAST{std::chrono::milliseconds(50), std::chrono::milliseconds(20), 1};

struct BusClient : Client {
    explicit BusClient(int port)
        : Client({Net::IPAddress("127.0.0.1"), uint16_t(port)}, "GXMP", FAST) {
        start();
    }
    ~BusClient() override { stop(); }
    bool is_valid_tag(uint32_t tag) override { return tag == make_tag("GXMS"); }
};

// A subscription request, which the server acknowledges with a reply referring to its id.
Message join() {
    return {make_tag("GXMS"), 0,
            "<e:Envelope xmlns:e='http://www.w3.org/2003/05/soap-envelope' "
            "xmlns:x='urn:gantry:trellis:1'><e:Header><x:routing x:id='f00d' "
            "x:subject='trellis.subscription.join' x:rsvp='true'/></e:Header><e:Body><x:join "
            "subject='a.*'/></e:Body></e:Envelope>"};
}

// The reply to join(), after any markers; empty if none came.
std::string acknowledgement(Client& client) {
    client.send(join());
    Message reply;
    while (client.running() && !client.wait(reply)) {
    }
    return reply.tag == make_tag("GXMS") ? reply.data : "";
}

TEST(TubeClient, ReopensAfterABrokenStream) {
    const std::pair<const char*, const char*> cases[] = {
        {"bad-tag", "Unrecognised tag 'XXXX' - out-of-sync?"},
        {"short-frame", "Short message read - socket died"},
        {"huge-length", "Message length 4294967280 over 16777216 - out-of-sync?"}};
    for (const auto& [mode, line] : cases) {
        SCOPED_TRACE(mode);
        LogCapture log;
        BusServer server(std::string("--misbehave ") + mode);
        ASSERT_NE(server.port(), 0);
        BusClient client(server.port());
        Message marker;
        EXPECT_FALSE(client.wait(marker));  // the reopening
        EXPECT_TRUE(log.has_line(std::string("1 GXMP (recv): ") + line));
        EXPECT_EQ(log.count("GXMP: Opened socket to " + server.address(), 3), 2u);
        EXPECT_NE(acknowledgement(client).find("x:ref=\"f00d\""), std::string::npos);
    }
}

TEST(TubeClient, HoldsMessagesUntilTheServerComes) {
    LogCapture log;
    const int port = BusServer().port();  // free again once that server is gone
    BusClient client(port);
    client.send(join());
    const char* lines[] = {
        "GXMP: Can't open socket to 127.0.0.1:", "GXMP (recv): Socket failed, can't restart",
        "GXMP (recv): Sleeping for 0.05 seconds",
        "GXMP (send): Socket is dead - waiting for improvement"};
    auto logged = [&](const char* line) { return log.contains(line, 1); };
    for (int i = 0; i < 300 && !std::all_of(std::begin(lines), std::end(lines), logged); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (const char* line : lines)
        EXPECT_TRUE(logged(line)) << line;
    BusServer server("--port " + std::to_string(port));
    Message reply;
    EXPECT_FALSE(client.wait(reply));  // connected at last: a reopening
    ASSERT_TRUE(client.wait(reply));
    EXPECT_NE(reply.data.find("x:ref=\"f00d\""), std::string::npos);

    std::thread waiter([&] { EXPECT_FALSE(client.wait(reply)); });
    client.shutdown();
    waiter.join();
    EXPECT_FALSE(client.wait(reply));
}

}  // namespace
}  // namespace Gantry::Tube
