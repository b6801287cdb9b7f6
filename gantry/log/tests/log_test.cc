#include <random>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "gantry/log/log.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Gantry::Log {
namespace {

using Corvid::Testing::RecordingChannel;
using ::testing::ElementsAre;

// The process logger from static initialisers and destructors.
RecordingChannel startup_channel;

[[maybe_unused]] const bool logged_at_startup = [] {
    logger.connect(startup_channel);
    Summary() << "from a static initialiser" << std::endl;
    logger.disconnect(startup_channel);
    return true;
}();

// Logs after main returns: had the logger been destroyed, AddressSanitizer would report it.
struct LogsAtExit {
    LogsAtExit() { logger.connect(*new Corvid::Testing::RecordingChannel); }
    ~LogsAtExit() { Error() << "from a static destructor" << std::endl; }
} logs_at_exit;

TEST(StaticLogging, LoggerWorksDuringStaticInitialisationAndExit) {
    EXPECT_THAT(startup_channel.texts(), ElementsAre("from a static initialiser"));
}

class MarkerBuf : public StreamBuf {
  public:
    using StreamBuf::StreamBuf;
    void end_of_file() { overflow(traits_type::eof()); }
};

// Text after the last newline is sent when the stream goes away (it used to vanish), unless the
// end-of-file marker sent it already; the marker sends once, without clearing the line.
TEST(LevelStream, OneMessagePerLineAndNoTextLost) {
    RecordingChannel channel;
    {
        Summary log(channel);
        log << "a\nb";
        log << "c" << 42 << std::endl << "\nx\n";
        Streams(channel).error << "e\nunterminated";
    }
    {
        MarkerBuf buffer(channel, 2);
        std::ostream out(&buffer);
        out << "ab";
        buffer.end_of_file();
        buffer.end_of_file();
        out << "c\nd";
        buffer.end_of_file();
    }
    EXPECT_THAT(channel.lines(), ElementsAre("2 a", "2 bc42", "2 ", "2 x", "1 e", "1 unterminated",
                                             "2 ab", "2 abc", "2 d"));
}

// Distributors cache which levels get through: every change of the chain must reach them. One
// without channels rules nothing out, so streams made before the daemon's chain still deliver.
TEST(DroppedLevels, FormatNothingAndFollowTheChain) {
    RecordingChannel sink;
    LevelFilter level2(sink, 2), level3(sink, 3);
    Distributor distributor, outer;
    Summary early(distributor);
    outer.connect(distributor);
    distributor.connect(level2);
    Detail dropped(distributor);  // starts bad: formats nothing
    dropped << "value " << 42 << std::endl;
    EXPECT_TRUE(dropped.bad() && !dropped.enabled());
    early << "early" << std::endl;
    EXPECT_FALSE(outer.accepts(3));
    distributor.connect(level3);
    EXPECT_TRUE(enabled(3, outer));
    distributor.disconnect(level3);
    EXPECT_FALSE(Detail(outer).enabled());
    EXPECT_FALSE(distributor.accepts(40));  // beyond the cached range: asked directly
    EXPECT_THAT(sink.texts(), ElementsAre("early"));
    distributor.disconnect(level2);
}

TEST(TimestampFilterTest, PrefixesInLocalTime) {
    const Time::Stamp stamp("2008-03-04T13:05:07.25Z");
    const std::string daemon = TimestampFilter::default_format;
    const struct {
        const char* zone;
        std::string format;
        Time::Stamp when;
        std::string expected;
    } cases[] = {
        {"UTC", daemon, stamp, "Tue 04 Mar 13:05:07.250 [2]: "},
        {"EST5", daemon, Time::Stamp("2099-12-31T23:59:59.5Z"), "Thu 31 Dec 18:59:59.500 [2]: "},
        {"UTC", "100%% [%*L|%*L] %Y-%m-%d ", stamp, "100% [2|2] 2008-03-04 "},
        // Milliseconds round, carrying into the next minute rather than showing 60.000.
        {"UTC", "%H:%M:%*S", Time::Stamp::from_seconds(stamp.seconds() + 52, UINT32_MAX - 999),
         "13:06:00.000"},
        // More than the 80-byte buffer: no prefix rather than a truncated one.
        {"UTC", "%*S" + std::string(73, 'x'), stamp, "07.250" + std::string(73, 'x')},
        {"UTC", "%*S" + std::string(74, 'x'), stamp, ""},
    };
    RecordingChannel sink;
    for (const auto& c : cases) {
        Corvid::Testing::set_time_zone(c.zone);
        EXPECT_EQ(TimestampFilter(sink, c.format).prefix(2, c.when), c.expected) << c.format;
    }
}

// "%%*" bypasses the per-second cache: both paths agree across seconds, levels and summer time.
TEST(TimestampFilterTest, CachedPrefixesMatchDirectExpansion) {
    Corvid::Testing::set_time_zone("CET-1CEST,M3.5.0,M10.5.0/3");
    RecordingChannel sink;
    const TimestampFilter cached(sink),
        direct(sink, std::string(TimestampFilter::default_format) + "%%*");
    Time::Stamp stamp("2008-03-30T00:59:58Z");
    std::mt19937_64 random(12345);
    for (int i = 0; i < 3000; i++) {
        const int level = static_cast<int>(random() % 5);
        stamp += Time::Duration(static_cast<double>(random() % 4096) / 4096.0 * 0.01);
        ASSERT_EQ(cached.prefix(level, stamp) + "%*", direct.prefix(level, stamp)) << stamp.iso();
    }
    EXPECT_EQ(cached.prefix(2, Time::Stamp("2008-03-30T01:00:00.5Z")),
              "Sun 30 Mar 03:00:00.500 [2]: ");
}

// A channel on a file that failed once (a full disk) writes again once the file takes writes.
struct FlakyBuf : std::streambuf {
    bool failing = false;
    std::string written;
    int_type overflow(int_type c) override {
        if (!failing) written += char(c);
        return failing ? traits_type::eof() : c;
    }
};

TEST(StreamChannelTest, RecoversAfterAFailedWrite) {
    FlakyBuf buffer;
    std::ostream stream(&buffer);
    StreamChannel channel(stream);
    for (bool failing : {false, true, false}) {
        buffer.failing = failing;
        channel.log(Message(1, Time::Stamp::now(), failing ? "lost" : "kept"));
    }
    EXPECT_EQ(buffer.written, "kept\nkept\n");
}

// A burst per key, then one line per interval; the next line let through counts what was held.
TEST(RateLimiterTest, BurstThenOnePerIntervalWithCounts) {
    Time::Stamp now("2024-03-04T12:00:00Z");
    RateLimiter limiter([&] { return now; }, Time::Duration(1.0), 3);
    std::string admitted;
    auto offer = [&](const char* key, int times) {
        for (int i = 0; i < times; i++) {
            uint64_t suppressed = 99;
            if (limiter.admit(key, suppressed)) admitted += key + std::to_string(suppressed) + " ";
        }
    };
    offer("a", 10);
    offer("b", 1);  // keys are limited apart
    now += Time::Duration(1.5);
    offer("a", 10);
    now += Time::Duration(0.5);  // the half second left over counts
    offer("a", 1);
    now += Time::Duration(3600);  // a quiet hour refills the burst, no more
    offer("a", 5);
    now -= Time::Duration(7200);  // a clock set back costs one interval at most
    offer("a", 3);
    now += Time::Duration(1.0);
    offer("a", 1);
    EXPECT_EQ(admitted, "a0 a0 a0 b0 a7 a9 a0 a0 a0 a5 ");
}

}  // namespace
}  // namespace Gantry::Log
