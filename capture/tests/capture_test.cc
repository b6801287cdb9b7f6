// A capture's parts (definition, storage roots, ring, segment writer), whole captures on loopback,
// and a real stream sent to a group (in a private network namespace): the segments are the stream
// cut on the segment length and each live index is what cv-index makes of its segment offline.
#include "capture/capture.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "capture/capture_settings.h"
#include "capture/datagram_receiver.h"
#include "capture/segment_writer.h"
#include "capture/storage_roots.h"
#include "capture/tests/source_netns.h"
#include "epg/epg_decoder.h"
#include "epg/epg_store.h"
#include "gantry/mt/thread.h"
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

// Which files a capture left, sorted.
std::vector<std::string> file_names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::unique_ptr<XML::Element> parse(const std::string& text) {
    XML::Parser parser;
    parser.read(text);
    return parser.detach_root();
}

TEST(CaptureSettingsTest, DefaultsLayeringAndTheElementFormReadsBack) {
    // Defaults apply under the definition; the id, address and session never come from them.
    const auto defaults = parse(R"(<default id="no"><segment length="10 min" count="3"/>
        <file prefix="/data/" suffix=".mpg"/><index suffix=".idx"/><start mode="external"/>
        <receive buffer="1000000"/><source interface="br0" rtp="no" source="10.9.9.9"/></default>)");
    const auto definition = parse(R"(<capture id="ch2"><source address="239.1.2.3" port="1"
        source="10.1.0.2"/>
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
    // The sender is the definition's own; the RTP mode and interface may come from the defaults.
    EXPECT_EQ(written.get_child("source").to_string(),
              "<source address=\"239.1.2.3\" interface=\"br0\" port=\"1\" rtp=\"no\" "
              "source=\"10.1.0.2\"/>\n");
}

TEST(CaptureSettingsTest, RefusedDefinitions) {
    const std::string long_id(65, 'a'), ok = "1.2.3.4";
    const struct {
        std::string id, address, segment, error;  // no error: the definition is valid
    } cases[] = {
        {"", ok, "", "Cannot allocate capture without id"},
        {"x", "", "", "Cannot allocate capture 'x' - bad source address: "},
        {"x", ok + "\" rtp=\"maybe", "", "'x' - bad source rtp: maybe (auto, yes or no)"},
        {"x", ok + "\" source=\"sender.example", "", "bad source sender: sender.example (a dotted"},
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
        EXPECT_TRUE(c.error.empty()
                        ? errors.empty()
                        : errors.size() == 1 && errors[0].find(c.error) != std::string::npos)
            << text << ::testing::PrintToString(errors);
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

// An idle consumer sleeps for an hour unless woken. Datagrams go one at a time, each once the last
// was taken, so every publish races with the consumer announcing its sleep; a lost wake-up leaves a
// datagram waiting.
TEST(IdleRingTest, SleepingConsumerWokenByEveryPublishAndByAStop) {
    DatagramRing ring(4, 64);
    constexpr uint32_t count = 2000;
    std::atomic<uint32_t> taken{0};
    std::atomic<bool> stopped{false};
    std::thread consumer([&] {
        for (uint32_t n = 0; n < count; n++, ring.release()) {
            while (ring.available() == 0)
                ring.wait(std::chrono::hours(1), true);
            if (*ring.front().data == static_cast<uint8_t>(n)) taken++;
        }
        ring.wait(std::chrono::hours(1), true);  // for the stop
        ring.wait(std::chrono::hours(1), false);
        stopped = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (uint32_t n = 0; n < count && std::chrono::steady_clock::now() < deadline; n++) {
        *ring.buffer(0) = static_cast<uint8_t>(n);
        ring.set_length(0, 1);
        ring.publish(1);
        while (ring.free_slots() < ring.slots() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
    }
    EXPECT_EQ(taken.load(), count);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // most often asleep by now
    ring.interrupt();
    ASSERT_TRUE(eventually([&] { return stopped.load(); }));  // else the process ends here
    consumer.join();
}

class SegmentWriterTest : public ::testing::Test {
  protected:
    SegmentWriterTest() {
        settings.id = settings.naming.id = "ch1";
        settings.naming.prefix = dir.path() + "/";
        settings.segment_length = Duration(10);
    }
    // 7 null-PID packets whose payload bytes tell this datagram from the others.
    void feed(const std::string& time) {
        std::vector<uint8_t> bytes(7 * 188, static_cast<uint8_t>(sent.size() / 1316));
        for (size_t at = 0; at < bytes.size(); at += 188)
            std::copy_n("\x47\x1F\xFF\x10", 4, bytes.begin() + at);
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

// A worker killed outright loses at most the last second: what is older has left the buffer.
TEST_F(SegmentWriterTest, BufferedBytesReachTheFileWithinASecond) {
    writer.begin(Stamp("2026-12-07T10:00:01Z"));
    for (const char* time : {"01", "01.9", "02", "02.6"})
        feed("2026-12-07T10:00:" + std::string(time) + "Z");
    writer.on_idle(Stamp("2026-12-07T10:00:02.9Z"));  // the flush at 02 took three
    const std::string path = dir.file(file_names(dir.path()).at(0));
    EXPECT_EQ(read_file(path).size(), 3 * 1316u);
    writer.on_idle(Stamp("2026-12-07T10:00:03Z"));
    EXPECT_EQ(read_file(path).size(), 4 * 1316u);
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
    const Stamp now("2026-12-07T10:00:00Z");
    writer.begin(now);
    for (int i = 0; i < 2800; i++) {  // 100 datagrams a second
        ASSERT_TRUE(i != 2500 || ::setrlimit(RLIMIT_FSIZE, &old) == 0);
        feed((now + Duration(i * 0.01)).iso());
    }

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

class CaptureTest : public ::testing::Test {
  protected:
    // A capture on 127.0.0.1 with the test's clock; extra is XML inside the definition.
    std::unique_ptr<Capture> make(const std::string& id, const std::string& extra,
                                  bool permanent = true, std::string prefix = "",
                                  const std::string& source = "address=\"127.0.0.1\"",
                                  Capture::Clock clock = nullptr) {
        if (prefix.empty()) prefix = dir.path() + "/";
        XML::Parser parser;
        parser.read("<capture id=\"" + id + "\"><source " + source + "/><file prefix=\"" + prefix +
                    "\"/>" + extra + "</capture>");
        if (!clock)
            clock = [this] {
                std::lock_guard<std::mutex> lock(clock_mutex);
                return now;
            };
        return std::make_unique<Capture>(parser.root(), XML::Element::none, decoder, permanent,
                                         Capture::Options{&roots, clock});
    }
    void set_now(Stamp stamp) {
        std::lock_guard<std::mutex> lock(clock_mutex);
        now = stamp;
    }

    Testing::TempDir dir;
    const StorageRoots roots{dir.path()};
    Testing::LogCapture log;
    EPGStore store;
    EPGDecoder decoder{store};
    std::mutex clock_mutex;
    Stamp now{"2026-12-07T10:00:00Z"};
};

TEST_F(CaptureTest, ExternalSessionsAndSchedule) {
    auto capture = make("ext", R"(<start mode="external"/><index suffix=".idx"/>)");
    ASSERT_TRUE(capture->valid());
    EXPECT_TRUE(capture->start_capturing("", false, -1));
    EXPECT_FALSE(capture->start_capturing(dir.file("other.ts"), false, -1));
    XML::Element form("capture");
    capture->describe(form);
    EXPECT_EQ(form.get_child("current-output").to_string(),
              "<current-output base-pcr=\"-1\" path=\"\"/>\n");
    EXPECT_TRUE(capture->stop_capturing());
    EXPECT_FALSE(capture->stop_capturing());
    // Whether the capture is capturing after a schedule check seconds later.
    const auto check_after = [&](double seconds) {
        set_now(now + Duration(seconds));
        capture->schedule_check();
        return capture->capturing();
    };

    // A timed session: the stop fires at its time; a stop request first drops it.
    ASSERT_TRUE(capture->start_capturing("", false, -1));
    capture->schedule_stop(now + Duration(3600));
    EXPECT_TRUE(check_after(3599));
    EXPECT_FALSE(check_after(1));
    ASSERT_TRUE(capture->start_capturing("", false, -1));
    capture->schedule_stop(now + Duration(3600));
    EXPECT_TRUE(capture->stop_capturing());
    EXPECT_TRUE(capture->schedule().empty());

    // Equivalent events (same time, not a stop and a start) are kept once; a stop and a start
    // due together: the stop first, one event per check.
    const std::string next = dir.file("next.ts");
    EXPECT_TRUE(capture->add_schedule_event({now, ScheduleEvent::START, next}));
    EXPECT_FALSE(capture->add_schedule_event({now, ScheduleEvent::START, "other"}));
    EXPECT_TRUE(capture->add_schedule_event({now, ScheduleEvent::STOP, ""}));
    EXPECT_FALSE(capture->add_schedule_event({now, ScheduleEvent::NONE, ""}));
    EXPECT_TRUE(capture->add_schedule_event({now - Duration(1), ScheduleEvent::NONE, ""}));
    ASSERT_TRUE(capture->start_capturing("", false, -1));
    EXPECT_TRUE(check_after(0));  // the none event: nothing happens
    EXPECT_FALSE(check_after(0));
    EXPECT_TRUE(check_after(0));
    form.clear_children();
    capture->describe(form);
    EXPECT_EQ(form.get_child("current-output").get_attr("path"), next);
    EXPECT_EQ(form.get_child("schedule").children().size(), 0u);

    // An unwritable index refuses the start and leaves no session file behind; an existing file
    // is left as it was.
    capture->stop_capturing();
    std::filesystem::create_directory(dir.file("s.ts.idx"));
    EXPECT_FALSE(capture->start_capturing(dir.file("s.ts"), false, -1));
    EXPECT_FALSE(std::filesystem::exists(dir.file("s.ts")));
    Testing::write_file(dir.file("kept.ts"), "old");
    EXPECT_TRUE(capture->start_capturing(dir.file("kept.ts"), false, -1));
    EXPECT_EQ(Testing::read_file(dir.file("kept.ts")).size(), 3u);

    EXPECT_FALSE(make("auto", "")->stop_capturing());

    // Configured captures may write outside the storage roots (the control tests refuse requests).
    Testing::TempDir outside;
    EXPECT_TRUE(make("r", "", true, outside.path() + "/")->valid());
    EXPECT_EQ(log.errors(),
              (std::vector<std::string>{
                  "Can't start capturing on capture id 'ext' because it is already capturing",
                  "Can't stop capturing on capture id 'ext' because it is not currently capturing",
                  "Cannot start capture - output/index file cannot be written to: " +
                      dir.file("s.ts") + "[.idx]",
                  "Request denied to stop capturing on auto mode capture id 'auto'"}));
}

// A restored session goes on writing its file, appending, with its index's base PCR; a pause
// does not end it, and a stop ends it at the next datagram.
TEST_F(CaptureTest, RestoredSessionAppendsWithItsBasePcr) {
    const std::string path = dir.file("session.ts");
    Testing::write_file(path, std::string(188, 'o'));
    auto capture = make("ext",
                        "<start mode=\"external\"/><index suffix=\".idx\"/><current-output "
                        "path=\"" +
                            path + "\" base-pcr=\"12.5\"/>",
                        false);
    ASSERT_TRUE(capture->valid());
    EXPECT_TRUE(capture->capturing());
    Gantry::Net::UDPSocket sender;
    std::vector<uint8_t> packet = {0x47, 0x1F, 0xFF, 0x10};  // a null packet
    packet.resize(188, 0xFF);
    auto send = [&](uint64_t count) {
        sender.send_to(packet.data(), packet.size(), 0, capture->local_end_point());
        ASSERT_TRUE(eventually([&] { return capture->counters().datagrams.load() == count; }));
    };
    send(1);
    XML::Element form("capture");
    ASSERT_TRUE(eventually([&] {
        capture->describe(form);
        return form.get_child("current-output").get_attr("base-pcr") == "12.5";
    }));
    set_now(now + Duration(5));  // a pause longer than the receive timeout
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(log.contains("No data received"));
    set_now(now - Duration(5));  // the stop, not a pause, must end the file now
    ASSERT_TRUE(capture->stop_capturing());
    send(2);
    ASSERT_TRUE(eventually([&] { return log.contains("Closing index file"); }));
    EXPECT_EQ(Testing::read_file(path).size(), 2 * 188u);
    capture->stop();
    EXPECT_TRUE(log.has_line("3 Creating index file in " + path + ".idx"));
    EXPECT_FALSE(log.contains("Closing capture file"));
}

// 3 segments of 10 minutes keep what began in the last 39 minutes; removal deletes every
// segment but keeps names that do not parse and links. Then a quiet capture stops.
TEST_F(CaptureTest, PruningAndDeletingFiles) {
    const char* names[] = {"keep.2026_12_07.09_00_00.ts",   "keep.2026_12_07.09_20_00.ts",
                           "keep.2026_12_07.09_20_00.ts.i", "keep.2026_12_07.09_20_59.ts",
                           "keep.2026_12_07.09_21_00.ts",   "keep.2026_12_07.09_50_00.ts",
                           "keep.2026_12_07.09_50_00.ts.i", "keep.garbage.ts",
                           "keeper.2026_12_07.09_00_00.ts", "keep.2026_12_07.09_00_00.mpg"};
    for (const char* name : names)
        Testing::write_file(dir.file(name), "x");
    std::filesystem::create_symlink(dir.file("keeper.2026_12_07.09_00_00.ts"),
                                    dir.file("keep.2026_12_07.08_00_00.ts"));
    auto remaining = [&] { return file_names(dir.path()); };
    auto capture = make("keep", R"(<segment length="10 min" count="3"/><index suffix=".i"/>)");
    ASSERT_TRUE(capture->valid());
    // The capture thread prunes as it starts.
    ASSERT_TRUE(eventually([&] { return remaining().size() == 7; }));
    EXPECT_EQ(remaining(), (std::vector<std::string>{
                               "keep.2026_12_07.08_00_00.ts", "keep.2026_12_07.09_00_00.mpg",
                               "keep.2026_12_07.09_21_00.ts", "keep.2026_12_07.09_50_00.ts",
                               "keep.2026_12_07.09_50_00.ts.i", "keep.garbage.ts",
                               "keeper.2026_12_07.09_00_00.ts"}));
    EXPECT_TRUE(log.has_line("3 Pruning files for capture keep back to 2026-12-07T09:21:00Z"));
    capture->delete_files(Stamp());
    // The stream stayed quiet: stopping ends both threads by themselves, without a socket error.
    const unsigned long cancelled = Gantry::MT::Thread::cancellations();
    capture->stop();
    capture->stop();
    EXPECT_EQ(Gantry::MT::Thread::cancellations(), cancelled);
    EXPECT_TRUE(log.has_line("3 Capture 'keep' ended"));
    EXPECT_TRUE(log.errors().empty());
    EXPECT_EQ(remaining(), (std::vector<std::string>{
                               "keep.2026_12_07.08_00_00.ts", "keep.2026_12_07.09_00_00.mpg",
                               "keep.garbage.ts", "keeper.2026_12_07.09_00_00.ts"}));
}

constexpr size_t DATAGRAM = 7 * 188;

TEST_F(CaptureTest, RealStreamIntoSegmentsWithLiveIndexes) {
    CORVID_REQUIRE_SHARED(stream_path, "testdata/ts/video/tsduck-test-064.ts");
    if (!std::filesystem::exists(Testing::tool_path("cv-index"))) GTEST_SKIP() << "no cv-index";
    CORVID_IN_NETNS();
    auto made = make("e2e", R"(<segment length="2 seconds"/><index suffix=".idx"/>)", true, "",
                     R"(address="239.192.0.7" port="5507")", Stamp::now);
    Capture& capture = *made;
    ASSERT_TRUE(capture.valid());

    const std::vector<uint8_t> stream = Testing::read_file(stream_path);
    Gantry::Net::UDPSocket sender;
    ASSERT_TRUE(sender.set_multicast_ttl(1));
    const Gantry::Net::EndPoint group(Gantry::Net::IPAddress("239.192.0.7"), 5507);
    const size_t count = (stream.size() + DATAGRAM - 1) / DATAGRAM;
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < count; i++) {
        std::this_thread::sleep_until(start +
                                      std::chrono::duration<double>(5.0 * i / count));  // over 5 s
        const size_t at = i * DATAGRAM;
        sender.send_to(stream.data() + at, std::min(DATAGRAM, stream.size() - at), 0, group);
    }
    eventually([&] { return capture.counters().datagrams.load() == count; });
    capture.stop();
    EXPECT_EQ(capture.counters().datagrams.load(), count);
    EXPECT_EQ(capture.counters().ring_drops.load() + capture.counters().kernel_drops.load(), 0u);
    EXPECT_EQ(capture.counters().cc_errors.load(), 0u);

    std::vector<std::string> segments;
    for (const std::string& name : file_names(dir.path()))
        if (name.ends_with(".ts")) segments.push_back(dir.file(name));
    ASSERT_GE(segments.size(), 2u) << ::testing::PrintToString(log.lines());
    EXPECT_EQ(capture.counters().files_opened.load(), segments.size());
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < segments.size(); i++) {
        const auto bytes = Testing::read_file(segments[i]);
        joined.insert(joined.end(), bytes.begin(), bytes.end());
        // The first file opens at the first datagram, the others on the boundaries.
        EXPECT_TRUE(i == 0 || capture.time_of_file(segments[i]).seconds() % 2 == 0) << segments[i];

        const std::string offline = dir.file("offline.idx");
        int status = -1;
        const std::string output =
            Testing::run_command(Testing::shell_quote(Testing::tool_path("cv-index")) + " build " +
                                     Testing::shell_quote(segments[i]) + " -o " +
                                     Testing::shell_quote(offline) + " 2>&1",
                                 &status);
        ASSERT_EQ(status, 0) << output;
        EXPECT_EQ(Testing::read_file(segments[i] + ".idx"), Testing::read_file(offline))
            << segments[i];
    }
    EXPECT_TRUE(joined == stream) << "the segments are not the stream sent";

    // The guide decoder saw the stream's service and filed it under the capture.
    std::vector<EPGServiceSummary> services;
    store.list_services(services);
    ASSERT_EQ(services.size(), 1u);
    EXPECT_EQ(services[0].id, "e2e");
    EXPECT_EQ(services[0].provider, "FFmpeg");
}

}  // namespace
}  // namespace Corvid::Capture
