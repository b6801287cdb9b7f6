// The parts of a capture without its threads: the definition and its checks, the storage roots,
// the datagram ring and the segment writer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "capture/capture_settings.h"
#include "capture/datagram_receiver.h"
#include "capture/segment_writer.h"
#include "capture/storage_roots.h"
#include "capture/tests/file_names.h"
#include "gantry/net/udp_socket.h"
#include "gantry/xml/parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using Gantry::Time::Duration;
using Gantry::Time::Stamp;
using Testing::read_file;
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
    EXPECT_EQ(std::to_string(layered.external) + " " + layered.segment_length.hms() + " " +
                  std::to_string(layered.segment_count) + " " + layered.epg_history.hms() + " " +
                  std::to_string(layered.receive_buffer) + " " + layered.current_output_path + " " +
                  std::to_string(layered.current_output_base_pcr),
              "1 00:10:00 5 00:50:00 1000000 /data/x.mpg 7.500000");
    ASSERT_EQ(layered.events.size(), 3u);  // in file order; the schedule sorts them
    EXPECT_EQ(layered.events[1].path + " " + layered.events[1].time.iso() + " " +
                  std::to_string(layered.events[1].action) +
                  std::to_string(layered.events[2].action),
              "/data/y.mpg 2026-12-07T09:00:00Z 10");

    XML::Element written("capture"), rewritten("capture");
    layered.describe(written);
    CaptureSettings again;
    ASSERT_TRUE(again.read(written, XML::Element::none));
    again.describe(rewritten);
    EXPECT_EQ(rewritten.to_string(), written.to_string());
}

TEST(CaptureSettingsTest, RefusedDefinitions) {
    const std::string long_id(65, 'a'), ok = "1.2.3.4";
    const struct {
        std::string id, address, segment, error;  // no error: the definition is valid
    } cases[] = {
        {"", ok, "", "Cannot allocate capture without id"},
        {"x", "", "", "Cannot allocate capture 'x' - bad source address: "},
        {"x", "no.such.host.invalid", "", "'x' - bad source address: no.such.host.invalid"},
        {"../up", ok, "", "Cannot allocate capture '../up' - bad id: "},
        {".hidden", ok, "", "Cannot allocate capture '.hidden' - bad id: "},
        {long_id, ok, "", "' - bad id: "},
        {long_id.substr(1), ok, "", ""},
        {"ch-1_a.b", ok, "", ""},
        {"x", ok, R"(length="0")", "'x' - bad segment length: 00:00:00 (at least 1 second)"},
        {"x", ok, R"(length="0.5")", "bad segment length: 00:00:00.5"},
        {"x", ok, R"(length="1")", ""},
        {"x", ok, R"(count="0")",
         "Cannot allocate capture 'x' - bad segment count: 0 (at least 1)"},
    };
    for (const auto& c : cases) {
        const std::string text = "<capture" + (c.id.empty() ? "" : " id=\"" + c.id + "\"") +
                                 "><source address=\"" + c.address + "\"/><segment " + c.segment +
                                 "/></capture>";
        Testing::LogCapture log;
        CaptureSettings settings;
        EXPECT_EQ(settings.read(*parse(text), XML::Element::none), c.error.empty()) << text;
        const auto errors = log.errors();
        ASSERT_EQ(errors.size(), c.error.empty() ? 0u : 1u) << text;
        if (!errors.empty()) {
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
    EXPECT_EQ(counters.datagrams.load(), 1000u);
    EXPECT_EQ(counters.bytes.load(), 4000u);
    EXPECT_EQ(counters.ring_drops.load(), 100u);
    ASSERT_EQ(ring.available(), 1000u);
    for (uint32_t n = 0; n < 1000; n++, ring.release())
        ASSERT_EQ(*reinterpret_cast<const uint32_t*>(ring.front().data), n);
    send_numbers(2000, 2001);
    EXPECT_EQ(ring.available(), 1u);
    EXPECT_EQ(counters.ring_drops.load(), 100u);
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

class SegmentWriterTest : public ::testing::Test {
  protected:
    SegmentWriterTest() {
        settings.id = settings.naming.id = "ch1";
        settings.naming.prefix = dir.path() + "/";
        settings.segment_length = Duration(10);
    }
    // Feeds a datagram of 7 null-PID packets whose payload bytes tell it from the others.
    void feed(const std::string& time) {
        std::vector<uint8_t> bytes(7 * 188, static_cast<uint8_t>(sent.size() / 1316));
        for (size_t at = 0; at < bytes.size(); at += 188) {
            bytes[at] = 0x47;
            bytes[at + 1] = 0x1F;
            bytes[at + 2] = 0xFF;
            bytes[at + 3] = 0x10;
        }
        writer.on_datagram(Stamp(time), bytes.data(), bytes.size());
        sent.insert(sent.end(), bytes.begin(), bytes.end());
    }

    Testing::TempDir dir;
    Testing::LogCapture log;
    CaptureSettings settings;
    CaptureCounters counters;
    Session session;
    std::vector<uint8_t> sent;
    SegmentWriter writer{settings, counters, session, nullptr, nullptr};
};

TEST(NextSwitchTest, MultiplesOfTheLengthFromMidnightUtc) {
    const struct {
        const char* now;
        double length;
        const char* expected;
    } cases[] = {
        {"2026-12-07T10:20:00Z", 3600, "2026-12-07T11:00:00Z"},
        {"2026-12-07T23:55:00Z", 420, "2026-12-08T00:02:00Z"},
        {"2026-12-08T00:02:00.5Z", 420, "2026-12-08T00:07:00Z"},
        {"2026-12-07T00:00:00.25Z", 1, "2026-12-07T00:00:01Z"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SegmentWriter::next_switch_time(Stamp(c.now), Duration(c.length)).iso(),
                  c.expected)
            << c.now;
}

// The first file opens at the first datagram, whatever the resume delay; later ones at every
// boundary; a quiet stream closes the file and the next waits for the resume time.
TEST_F(SegmentWriterTest, FirstDatagramBoundariesQuietAndResume) {
    writer.begin(Stamp("2026-12-07T10:00:03Z"));
    writer.on_idle(Stamp("2026-12-07T10:00:08Z"));  // no data yet: not a quiet period
    for (const char* time : {"10:00:09", "10:00:09.9", "10:00:10", "10:00:10.001", "10:00:20.5"})
        feed("2026-12-07T" + std::string(time) + "Z");
    writer.on_idle(Stamp("2026-12-07T10:00:21.6Z"));
    EXPECT_FALSE(writer.file_open());
    feed("2026-12-07T10:00:40Z");  // back, but only for 18.4 s of the 30
    EXPECT_FALSE(writer.file_open());
    feed("2026-12-07T10:00:52Z");
    writer.close_file();
    std::string layout;  // each file's start time and datagrams
    std::vector<uint8_t> written;
    for (const auto& name : file_names(dir.path())) {
        const auto bytes = read_file(dir.file(name));
        layout += name.substr(15, 8) + "x" + std::to_string(bytes.size() / 1316) + " ";
        written.insert(written.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(layout, "10_00_09x2 10_00_10x2 10_00_20x1 10_00_52x1 ");
    sent.erase(sent.end() - 2 * 1316, sent.end() - 1316);  // the datagram not written
    EXPECT_EQ(written, sent);
    EXPECT_TRUE(
        log.has_line("1 No data received for 'ch1' for over 00:00:01 - closing capture file"));
}

// A file size limit stands in for a full disk: failures are retried once a second, logged once
// every 10 seconds with a count, and writing resumes by itself once the limit is lifted.
TEST_F(SegmentWriterTest, WriteFailuresAreThrottledAndRecover) {
    rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    if (old.rlim_max != RLIM_INFINITY && old.rlim_max < (1 << 20))
        GTEST_SKIP() << "the file size limit is already below 1 MiB";
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;  // below one buffer's worth
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    Stamp now("2026-12-07T10:00:00Z");
    writer.begin(now);
    // 25 seconds at 100 datagrams a second.
    for (int i = 0; i < 2500; i++)
        feed((now + Duration(i * 0.01)).iso());
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
    for (int i = 2500; i < 2800; i++)
        feed((now + Duration(i * 0.01)).iso());

    const uint64_t failures = counters.write_errors.load();
    EXPECT_GE(failures, 8u);  // each failing file holds two seconds of data before its flush
    const auto errors = log.errors();
    ASSERT_EQ(errors.size(), 3u) << ::testing::PrintToString(errors);  // at 0-2 s, 12, 22
    EXPECT_EQ(errors[0], "Capture 'ch1' file error: File too large");
    EXPECT_TRUE(errors[1].starts_with("Capture 'ch1' file error: File too large (")) << errors[1];
    EXPECT_TRUE(log.has_line("2 Capture 'ch1' writing again after " + std::to_string(failures) +
                             " failed attempts"));
    EXPECT_TRUE(writer.file_open());
}

}  // namespace
}  // namespace Corvid::Capture
