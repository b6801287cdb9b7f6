// Whole captures on the loopback address: sessions, schedules, roots, pruning and stopping.
#include "capture/capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "capture/tests/file_names.h"
#include "epg/epg_decoder.h"
#include "epg/epg_store.h"
#include "gantry/mt/thread.h"
#include "gantry/xml/parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using Gantry::Time::Duration;
using Gantry::Time::Stamp;
namespace XML = Gantry::XML;

class CaptureTest : public ::testing::Test {
  protected:
    // A capture on 127.0.0.1 with the test's clock; extra is XML inside the definition.
    std::unique_ptr<Capture> make(const std::string& id, const std::string& extra,
                                  bool permanent = true, std::string prefix = "") {
        if (prefix.empty()) prefix = dir.path() + "/";
        XML::Parser parser;
        parser.read("<capture id=\"" + id + "\"><source address=\"127.0.0.1\"/><file prefix=\"" +
                    prefix + "\"/>" + extra + "</capture>");
        auto clock = [this] {
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
    static bool eventually(const std::function<bool()>& condition) {
        for (int i = 0; i < 300 && !condition(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return condition();
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

    // A timed session: the stop fires at its time; a stop request first drops it.
    ASSERT_TRUE(capture->start_capturing("", false, -1));
    capture->schedule_stop(now + Duration(3600));
    set_now(now + Duration(3599));
    capture->schedule_check();
    EXPECT_TRUE(capture->capturing());
    set_now(now + Duration(1));
    capture->schedule_check();
    EXPECT_FALSE(capture->capturing());
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
    capture->schedule_check();  // the none event: nothing happens
    EXPECT_TRUE(capture->capturing());
    capture->schedule_check();
    EXPECT_FALSE(capture->capturing());
    capture->schedule_check();
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

    auto automatic = make("auto", "");
    EXPECT_FALSE(automatic->start_capturing("", false, -1));
    EXPECT_FALSE(automatic->stop_capturing());

    // Request-defined captures write only under the storage roots; configured ones anywhere.
    Testing::TempDir outside;
    EXPECT_FALSE(make("r", "", false, outside.path() + "/")->valid());
    EXPECT_TRUE(make("r", "", true, outside.path() + "/")->valid());
    auto request = make("r", "<start mode=\"external\"/>", false);
    EXPECT_FALSE(request->start_capturing(outside.file("x.ts"), false, -1));
    EXPECT_TRUE(request->start_capturing(dir.file("x.ts"), false, -1));
    EXPECT_EQ(
        log.errors(),
        (std::vector<std::string>{
            "Can't start capturing on capture id 'ext' because it is already capturing",
            "Can't stop capturing on capture id 'ext' because it is not currently capturing",
            "Cannot start capture - output/index file cannot be written to: " + dir.file("s.ts") +
                "[.idx]",
            "Request denied to start capturing on auto mode capture id 'auto'",
            "Request denied to stop capturing on auto mode capture id 'auto'",
            "Cannot allocate capture 'r' - file prefix outside the storage roots: " +
                outside.path() + "/",
            "Cannot start capture 'r' - path outside the storage roots: " + outside.file("x.ts")}));
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
    std::vector<uint8_t> packet(188, 0xFF);
    packet[0] = 0x47;
    packet[1] = 0x1F;
    packet[3] = 0x10;
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

}  // namespace
}  // namespace Corvid::Capture
