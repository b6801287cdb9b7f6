#include "capture/segment_writer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

using Gantry::Time::Duration;
using Gantry::Time::Stamp;
using Testing::read_file;

// A datagram of 7 null-PID packets whose payload bytes are all `fill`.
std::vector<uint8_t> datagram(uint8_t fill) {
    std::vector<uint8_t> bytes(7 * 188, fill);
    for (size_t at = 0; at < bytes.size(); at += 188) {
        bytes[at] = 0x47;
        bytes[at + 1] = 0x1F;
        bytes[at + 2] = 0xFF;
        bytes[at + 3] = 0x10;
    }
    return bytes;
}

class SegmentWriterTest : public ::testing::Test {
  protected:
    SegmentWriterTest() {
        settings.id = "ch1";
        settings.naming.id = "ch1";
        settings.naming.prefix = dir.path() + "/";
        settings.segment_length = Duration(10);
    }
    SegmentWriter& writer() {
        if (!writer_)
            writer_ =
                std::make_unique<SegmentWriter>(settings, counters, session, nullptr, nullptr);
        return *writer_;
    }
    void feed(const char* time, uint8_t fill) { feed(Stamp(time), fill); }
    void feed(Stamp time, uint8_t fill) {
        const auto bytes = datagram(fill);
        writer().on_datagram(time, bytes.data(), bytes.size());
        sent.insert(sent.end(), bytes.begin(), bytes.end());
    }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    Testing::TempDir dir;
    Testing::LogCapture log;
    CaptureSettings settings;
    CaptureCounters counters;
    Session session;
    std::vector<uint8_t> sent;
    std::unique_ptr<SegmentWriter> writer_;
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
        {"2026-12-07T11:00:00Z", 3600, "2026-12-07T12:00:00Z"},
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
    writer().begin(Stamp("2026-12-07T10:00:03Z"));
    writer().on_idle(Stamp("2026-12-07T10:00:08Z"));  // no data yet: not a quiet period
    for (const char* time : {"10:00:09", "10:00:09.9", "10:00:10", "10:00:10.001", "10:00:20.5"})
        feed(Stamp("2026-12-07T" + std::string(time) + "Z"), 1);
    writer().on_idle(Stamp("2026-12-07T10:00:21.6Z"));
    EXPECT_FALSE(writer().file_open());
    feed("2026-12-07T10:00:40Z", 2);  // back, but only for 18.4 s of the 30
    EXPECT_FALSE(writer().file_open());
    feed("2026-12-07T10:00:52Z", 3);
    writer().close_file();
    const auto names = files();
    EXPECT_EQ(names, (std::vector<std::string>{
                         "ch1.2026_12_07.10_00_09.ts", "ch1.2026_12_07.10_00_10.ts",
                         "ch1.2026_12_07.10_00_20.ts", "ch1.2026_12_07.10_00_52.ts"}));
    std::vector<uint8_t> written;
    std::vector<size_t> datagrams;
    for (const auto& name : names) {
        const auto bytes = read_file(dir.file(name));
        datagrams.push_back(bytes.size() / 1316);
        written.insert(written.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(datagrams, (std::vector<size_t>{2, 2, 1, 1}));
    sent.erase(sent.end() - 2 * 1316, sent.end() - 1316);  // the datagram not written
    EXPECT_EQ(written, sent);
    EXPECT_TRUE(
        log.has_line("1 No data received for 'ch1' for over 00:00:01 - closing capture file"));
    EXPECT_EQ(counters.cc_errors.load(), 0u);  // null packets carry no counter
}

// A session ends at the next datagram after its stop, not at a pause or a boundary.
TEST_F(SegmentWriterTest, ExternalSessionEndsAtTheNextDatagramAfterItsStop) {
    settings.external = true;
    settings.naming.index_suffix = ".idx";
    const std::string path = dir.file("session.ts");
    feed("2026-12-07T10:00:00Z", 1);  // no session: nothing written
    ASSERT_TRUE(session.start(path, false, -1));
    feed("2026-12-07T10:00:01Z", 2);
    writer().on_idle(Stamp("2026-12-07T10:00:05Z"));
    feed("2026-12-07T10:00:15Z", 3);
    ASSERT_TRUE(session.stop());
    feed("2026-12-07T10:00:16Z", 4);
    EXPECT_FALSE(writer().file_open());
    EXPECT_TRUE(log.has_line("3 Closing index file"));
    EXPECT_FALSE(log.contains("Closing capture file"));
    EXPECT_EQ(read_file(path), std::vector<uint8_t>(sent.begin() + 1316, sent.begin() + 3 * 1316));
    EXPECT_EQ(files(), (std::vector<std::string>{"session.ts", "session.ts.idx"}));
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
    writer().begin(now);
    // 25 seconds at 100 datagrams a second.
    for (int i = 0; i < 2500; i++)
        feed(now + Duration(i * 0.01), 1);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
    for (int i = 2500; i < 2800; i++)
        feed(now + Duration(i * 0.01), 1);

    const uint64_t failures = counters.write_errors.load();
    EXPECT_GE(failures, 8u);  // each failing file holds two seconds of data before its flush
    const auto errors = log.errors();
    ASSERT_EQ(errors.size(), 3u) << ::testing::PrintToString(errors);  // at 0-2 s, 12, 22
    EXPECT_EQ(errors[0], "Capture 'ch1' file error: File too large");
    EXPECT_TRUE(errors[1].starts_with("Capture 'ch1' file error: File too large (")) << errors[1];
    EXPECT_TRUE(log.has_line("2 Capture 'ch1' writing again after " + std::to_string(failures) +
                             " failed attempts"));
    EXPECT_TRUE(writer().file_open());
}

// Losses are reported at most every 10 seconds, with the counts since the last report.
TEST_F(SegmentWriterTest, DropsAreLoggedEveryTenSecondsAtMost) {
    const Stamp start("2026-12-07T10:00:00Z");
    writer().begin(start);
    counters.ring_drops = 5;
    counters.kernel_drops = 2;
    writer().on_idle(start + Duration(9.9));
    writer().on_idle(start + Duration(10));
    counters.ring_drops = 6;
    writer().on_idle(start + Duration(19.9));
    writer().on_idle(start + Duration(20));
    writer().on_idle(start + Duration(30));  // nothing new: no line
    EXPECT_EQ(log.errors(),
              (std::vector<std::string>{
                  "Capture 'ch1' lost 5 datagrams to a full queue and 2 in the socket buffer, "
                  "with 0 continuity errors, in the last 10 seconds",
                  "Capture 'ch1' lost 1 datagrams to a full queue and 0 in the socket buffer, "
                  "with 0 continuity errors, in the last 10 seconds"}));
}

}  // namespace
}  // namespace Corvid::Capture
