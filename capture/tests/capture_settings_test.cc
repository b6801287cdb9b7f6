// The definition, its checks, the storage roots and the datagram ring.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "capture/capture_settings.h"
#include "capture/datagram_receiver.h"
#include "capture/storage_roots.h"
#include "gantry/net/udp_socket.h"
#include "gantry/xml/parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using Gantry::Time::Stamp;
namespace XML = Gantry::XML;

std::unique_ptr<XML::Element> parse(const std::string& text) {
    XML::Parser parser;
    parser.read(text);
    return parser.detach_root();
}

TEST(CaptureSettingsTest, DefaultsLayeringAndTheElementFormReadsBack) {
    CaptureSettings plain;
    ASSERT_TRUE(plain.read(*parse(R"(<capture id="ch1"><source address="127.0.0.1" port="5000"/>
                                     </capture>)"),
                           XML::Element::none));
    XML::Element form("capture");
    plain.describe(form);
    EXPECT_EQ(form.to_string(),
              "<capture id=\"ch1\">\n  <start mode=\"auto\"/>\n"
              "  <source address=\"127.0.0.1\" port=\"5000\"/>\n"
              "  <segment count=\"24\" length=\"01:00:00\"/>\n  <epg history=\"24:00:00\"/>\n"
              "  <file prefix=\"\" suffix=\".ts\"/>\n  <index suffix=\"\"/>\n"
              "  <receive buffer=\"8388608\" resume=\"00:00:30\" timeout=\"00:00:01\"/>\n"
              "  <event lead=\"00:05:00\" min-percent=\"98\" tail=\"00:05:00\"/>\n</capture>\n");

    // Defaults apply under the definition; the id, address and session never come from them.
    const auto defaults = parse(R"(<default id="no"><segment length="10 min" count="3"/>
        <file prefix="/data/" suffix=".mpg"/><index suffix=".idx"/><start mode="external"/>
        <receive buffer="1000000"/></default>)");
    const auto definition = parse(R"(<capture id="ch2"><source address="239.1.2.3" port="1"/>
        <segment count="5"/><current-output path="/data/x.mpg" base-pcr="7.5"/>
        <schedule><event time="2026-12-07T10:00:00Z" action="stop"/>
                  <event time="2026-12-07T09:00:00Z" action="start" path="/data/y.mpg"/>
                  <event time="2026-12-07T11:00:00Z" action="pause"/></schedule></capture>)");
    CaptureSettings layered;
    ASSERT_TRUE(layered.read(*definition, *defaults));
    EXPECT_EQ(layered.naming.file_name(Stamp("2008-05-17T14:00:00Z")),
              "/data/ch2.2008_05_17.14_00_00.mpg");
    EXPECT_EQ(std::to_string(layered.external) + " " + layered.segment_length.hms() + " " +
                  std::to_string(layered.segment_count) + " " + layered.epg_history.hms() + " " +
                  std::to_string(layered.receive_buffer) + " " + layered.current_output_path + " " +
                  std::to_string(layered.current_output_base_pcr),
              "1 00:10:00 5 00:50:00 1000000 /data/x.mpg 7.500000");
    std::string events;
    for (const auto& e : layered.events)
        events += e.time.iso() + " " + std::string(ScheduleEvent::action_name(e.action)) + " " +
                  e.path + ";";
    EXPECT_EQ(events,
              "2026-12-07T10:00:00Z stop ;2026-12-07T09:00:00Z start /data/y.mpg;"
              "2026-12-07T11:00:00Z none ;");

    XML::Element written("capture");
    layered.describe(written);
    CaptureSettings again;
    ASSERT_TRUE(again.read(written, XML::Element::none));
    XML::Element rewritten("capture");
    again.describe(rewritten);
    EXPECT_EQ(rewritten.to_string(), written.to_string());
}

TEST(CaptureSettingsTest, RefusedDefinitions) {
    const std::string long_id(65, 'a');
    const struct {
        std::string attributes;
        std::string error;  // "" when the definition is valid
    } cases[] = {
        {R"(address="1.2.3.4")", "Cannot allocate capture without id"},
        {R"(id="x")", "Cannot allocate capture 'x' - bad source address: "},
        {R"(id="x" address="no.such.host.invalid")",
         "Cannot allocate capture 'x' - bad source address: no.such.host.invalid"},
        {R"(id="../up" address="1.2.3.4")", "Cannot allocate capture '../up' - bad id: "},
        {R"(id="a/b" address="1.2.3.4")", "Cannot allocate capture 'a/b' - bad id: "},
        {R"(id=".hidden" address="1.2.3.4")", "Cannot allocate capture '.hidden' - bad id: "},
        {"id=\"" + long_id + "\" address=\"1.2.3.4\"", "' - bad id: "},
        {"id=\"" + long_id.substr(1) + "\" address=\"1.2.3.4\"", ""},
        {R"(id="ch-1_a.b" address="1.2.3.4")", ""},
        {R"(id="x" address="1.2.3.4" length="0")",
         "Cannot allocate capture 'x' - bad segment length: 00:00:00 (at least 1 second)"},
        {R"(id="x" address="1.2.3.4" length="0.5")", "bad segment length: 00:00:00.5"},
        {R"(id="x" address="1.2.3.4" length="1")", ""},
        {R"(id="x" address="1.2.3.4" count="0")",
         "Cannot allocate capture 'x' - bad segment count: 0 (at least 1)"},
    };
    for (const auto& c : cases) {
        // The attributes are spread over the elements they belong to.
        std::string text = "<capture " + c.attributes + "/>";
        const auto definition = parse(text);
        for (const char* name : {"address", "length", "count"}) {
            if (!definition->has_attr(name)) continue;
            const char* parent = std::string(name) == "address" ? "source" : "segment";
            definition->make_child(parent).set_attr(name, definition->get_attr(name));
            definition->remove_attr(name);
        }
        Testing::LogCapture log;
        CaptureSettings settings;
        EXPECT_EQ(settings.read(*definition, XML::Element::none), c.error.empty()) << text;
        const auto errors = log.errors();
        if (c.error.empty()) {
            EXPECT_TRUE(errors.empty()) << text;
        } else {
            ASSERT_EQ(errors.size(), 1u) << text;
            EXPECT_NE(errors[0].find(c.error), std::string::npos) << errors[0];
        }
    }
}

TEST(StorageRootsTest, PathsResolveAfterSymlinks) {
    Testing::TempDir root, elsewhere;
    std::filesystem::create_directory(root.file("sub"));
    std::filesystem::create_directory_symlink(elsewhere.path(), root.file("out"));
    std::filesystem::create_directory_symlink(root.file("sub"), elsewhere.file("in"));
    Testing::write_file(elsewhere.file("secret"), "x");
    std::filesystem::create_symlink(elsewhere.file("secret"), root.file("link.ts"));
    const StorageRoots roots(elsewhere.path() + "/missing:" + root.path());
    const struct {
        std::string path;
        bool inside;
    } cases[] = {
        {root.file("news-"), true},         {root.file("sub/"), true},
        {root.file("sub/x.ts"), true},      {root.path(), true},
        {elsewhere.file("in/x.ts"), true},  {root.file("out/x.ts"), false},
        {root.file("link.ts"), false},      {root.file("sub/../../x.ts"), false},
        {root.file("nothing/x.ts"), false}, {root.file(".."), false},
        {elsewhere.file("x.ts"), false},    {"relative.ts", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(roots.contains(c.path), c.inside) << c.path;

    EXPECT_TRUE(StorageRoots::for_default_prefix(root.file("sub/ch")).contains(root.file("sub/a")));
    EXPECT_FALSE(StorageRoots::for_default_prefix(root.file("sub/ch")).contains(root.file("a")));
    EXPECT_TRUE(StorageRoots::for_default_prefix("").contains("in-working-dir.ts"));
}

class DatagramRingTest : public ::testing::Test {
  protected:
    DatagramRingTest() { EXPECT_TRUE(socket.set_timeout(0, 20000)); }
    // Receives until nothing has come for longer than the grace for a full ring.
    void drain() {
        auto quiet_since = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - quiet_since < std::chrono::milliseconds(50))
            if (receiver.receive() > 0) quiet_since = std::chrono::steady_clock::now();
    }
    void send(const void* data, size_t length) {
        sender.send_to(data, length, 0, socket.local_end_point());
    }

    Gantry::Net::UDPSocket socket{Gantry::Net::IPAddress("127.0.0.1"), 0};
    Gantry::Net::UDPSocket sender;
    DatagramRing ring;
    CaptureCounters counters;
    DatagramReceiver receiver{socket.fd(), ring, counters, std::chrono::milliseconds(10)};
};

// With nobody consuming, the first 1000 datagrams wait in order and, once the ring has been full
// for its grace, the rest are counted as dropped; the socket keeps draining meanwhile.
TEST_F(DatagramRingTest, StalledConsumerKeepsTheFirstThousandInOrder) {
    ASSERT_GT(configure_receive_socket(socket.fd(), 4 << 20), 0);
    auto send_numbers = [&](uint32_t from, uint32_t to) {
        for (uint32_t n = from; n < to; n++) {
            send(&n, sizeof n);
            if (n % 200 == 199) drain();  // leave the socket buffer room
        }
        drain();
    };
    send_numbers(0, 1100);
    EXPECT_EQ(ring.available(), 1000u);
    EXPECT_EQ(counters.datagrams.load(), 1000u);
    EXPECT_EQ(counters.bytes.load(), 4000u);
    EXPECT_EQ(counters.ring_drops.load(), 100u);
    EXPECT_EQ(counters.kernel_drops.load(), 0u);
    for (uint32_t n = 0; n < 10; n++) {
        const auto datagram = ring.front();
        ASSERT_EQ(datagram.length, 4u);
        EXPECT_EQ(*reinterpret_cast<const uint32_t*>(datagram.data), n);
        ring.release();
    }
    send_numbers(2000, 2020);  // ten fit again
    EXPECT_EQ(counters.ring_drops.load(), 110u);
    uint32_t expected = 10, seen = 0;
    while (ring.available() > 0) {
        uint32_t n = *reinterpret_cast<const uint32_t*>(ring.front().data);
        EXPECT_EQ(n, expected) << "after " << seen;
        expected = expected == 999 ? 2000 : expected + 1;
        ring.release();
        seen++;
    }
    EXPECT_EQ(seen, 1000u);
}

// Datagrams the socket buffer had no room for are counted from the kernel's own count, which
// arrives with the next datagram queued.
TEST_F(DatagramRingTest, KernelDropsAreCounted) {
    ASSERT_GT(configure_receive_socket(socket.fd(), 1), 0);  // the system's smallest buffer
    const std::vector<uint8_t> payload(1316, 0x47);
    for (int i = 0; i < 200; i++)
        send(payload.data(), payload.size());
    drain();
    send(payload.data(), payload.size());
    drain();
    EXPECT_GT(counters.kernel_drops.load(), 0u);
    EXPECT_EQ(counters.datagrams.load() + counters.kernel_drops.load(), 201u);
    EXPECT_EQ(ring.available(), counters.datagrams.load());
}

}  // namespace
}  // namespace Corvid::Capture
