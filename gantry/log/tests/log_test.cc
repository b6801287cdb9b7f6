#include <streambuf>
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

Message message(int level, std::string text) {
    return Message(level, Time::Stamp::now(), std::move(text));
}

// Exposes the end-of-file marker, which only direct callers of overflow() can send.
class MarkerBuf : public StreamBuf {
  public:
    using StreamBuf::StreamBuf;
    void end_of_file() { overflow(traits_type::eof()); }
};

// One message per newline, with the stream's level and time. Text after the last newline is sent
// when the stream goes away (it used to vanish), unless the end-of-file marker sent it already;
// the marker sends once, without clearing the line.
TEST(LevelStream, OneMessagePerLineAndNoTextLost) {
    RecordingChannel channel;
    const Time::Stamp before = Time::Stamp::now();
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
    for (const Message& m : channel.messages())
        EXPECT_TRUE(before <= m.timestamp && m.timestamp <= Time::Stamp::now());
}

// Distributors cache which levels get through: every change of the chain, further down too, must
// reach them. A distributor without channels rules nothing out, so long-lived streams made before
// the daemon builds its chain still deliver.
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
    TimestampFilter(sink).log(Message(1, stamp, "capture started"));
    EXPECT_THAT(sink.lines(), ElementsAre("1 Tue 04 Mar 13:05:07.250 [1]: capture started"));
}

// Formats with "%%*" bypass the per-second cache, so the two paths can be compared for messages
// that move within and across seconds and levels, around the change to summer time.
TEST(TimestampFilterTest, CachedPrefixesMatchDirectExpansion) {
    Corvid::Testing::set_time_zone("CET-1CEST,M3.5.0,M10.5.0/3");
    RecordingChannel sink;
    const TimestampFilter cached(sink),
        direct(sink, std::string(TimestampFilter::default_format) + "%%*");
    Time::Stamp stamp("2008-03-30T00:59:58Z");
    uint64_t state = 12345;
    for (int i = 0; i < 3000; i++) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const int level = static_cast<int>(state >> 60) % 5;
        stamp += Time::Duration(static_cast<double>(state >> 40 & 0xFFF) / 4096.0 * 0.01);
        ASSERT_EQ(cached.prefix(level, stamp) + "%*", direct.prefix(level, stamp)) << stamp.iso();
    }
    EXPECT_EQ(cached.prefix(2, Time::Stamp("2008-03-30T01:00:00.5Z")),
              "Sun 30 Mar 03:00:00.500 [2]: ");
}

// A stream buffer that refuses writes while `failing` is set, like a file on a full disk.
struct FlakyBuf : std::streambuf {
    bool failing = false;
    std::string written;
    int_type overflow(int_type c) override {
        if (failing) return traits_type::eof();
        written += char(c);
        return c;
    }
};

TEST(StreamChannelTest, RecoversAfterAFailedWrite) {
    FlakyBuf buffer;
    std::ostream stream(&buffer);
    StreamChannel channel(stream);
    for (bool failing : {false, true, false}) {
        buffer.failing = failing;
        channel.log(message(1, failing ? "lost" : "kept"));
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
    // Level streams made without a channel, and limited lines, go to the process logger.
    RecordingChannel sink;
    LevelFilter level(sink, 2);
    Corvid::Testing::ScopedConnection connection(logger, level);
    Error() << "Could not start capture 'bbc1'" << std::endl;
    Detail() << "not shown" << std::endl;
    limited_error("Bad TS payload size");
    EXPECT_THAT(sink.lines(),
                ElementsAre("1 Could not start capture 'bbc1'", "1 Bad TS payload size"));
}

}  // namespace
}  // namespace Gantry::Log
