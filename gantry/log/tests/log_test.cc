#include <fstream>
#include <locale>
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
using Corvid::Testing::ScopedConnection;
using ::testing::ElementsAre;

using Corvid::Testing::set_time_zone;  // every test that depends on the zone sets it

Message message(int level, std::string text) {
    return Message(level, Time::Stamp::now(), std::move(text));
}

TEST(LevelStream, OneMessagePerNewlineWithLevelAndTime) {
    RecordingChannel channel;
    const Time::Stamp before = Time::Stamp::now();
    Summary log(channel);
    log << "a\nb";
    EXPECT_THAT(channel.texts(), ElementsAre("a"));
    log << "c" << 42 << std::endl;
    log << "\nx\ny\n";
    log.put('p').put('\n');
    Streams streams(channel);
    streams.error << "e\n";
    streams.detail << "d\n";
    EXPECT_THAT(channel.lines(),
                ElementsAre("2 a", "2 bc42", "2 ", "2 x", "2 y", "2 p", "1 e", "3 d"));
    const Time::Stamp after = Time::Stamp::now();
    for (const Message& m : channel.messages()) {
        EXPECT_LE(before, m.timestamp);
        EXPECT_LE(m.timestamp, after);
    }
}

// Exposes the end-of-file marker, which only direct callers of overflow() can send.
class MarkerBuf : public StreamBuf {
  public:
    using StreamBuf::StreamBuf;
    void end_of_file() { overflow(traits_type::eof()); }
};

// Text after the last newline used to vanish with the stream; a line written without std::endl
// (an error reported just before a throw, say) is sent when the stream goes away, unless the
// end-of-file marker sent it already. The marker sends once, without clearing the line.
TEST(LevelStream, UnterminatedTextIsSentOnDestruction) {
    RecordingChannel channel;
    {
        Error log(channel);
        log << "first\nsecond";
        EXPECT_THAT(channel.texts(), ElementsAre("first"));
    }
    { Summary log(channel); }
    {
        MarkerBuf buffer(channel, 2);
        std::ostream out(&buffer);
        out << "ab";
        buffer.end_of_file();
        buffer.end_of_file();
        out << "c\nd";
        buffer.end_of_file();
    }
    EXPECT_THAT(channel.texts(), ElementsAre("first", "second", "ab", "abc", "d"));
}

// Counts the numbers a stream formats, to prove that dropped lines format nothing.
class CountingNumPut : public std::num_put<char> {
  public:
    explicit CountingNumPut(int& count) : count_(count) {}

  protected:
    iter_type do_put(iter_type out, std::ios_base& str, char_type fill, long value) const override {
        count_++;
        return std::num_put<char>::do_put(out, str, fill, value);
    }

  private:
    int& count_;
};

TEST(DroppedDetail, FormatsNothingAndBuildsNoMessage) {
    RecordingChannel sink;
    LevelFilter level(sink, 2);
    int formatted = 0;
    auto write = [&formatted](Stream&& log) {
        log.imbue(std::locale(log.getloc(), new CountingNumPut(formatted)));
        log << "value " << 42L << std::endl;
        return log.enabled();
    };
    EXPECT_FALSE(write(Detail(level)));
    EXPECT_EQ(formatted, 0);
    EXPECT_TRUE(write(Summary(level)));
    EXPECT_EQ(formatted, 1);
    EXPECT_THAT(sink.texts(), ElementsAre("value 42"));
}

// Distributors cache which levels get through; every change of the chain must reach them.
TEST(DroppedDetail, AcceptsFollowsTheChain) {
    RecordingChannel sink;
    LevelFilter level2(sink, 2), level3(sink, 3);
    TimestampFilter stamp(level2, "%*L ");
    PatternFilter pattern(stamp, "*");
    for (int l : {3, 2, 1})
        pattern.log(message(l, "m"));
    EXPECT_THAT(sink.texts(), ElementsAre("2 m", "1 m")) << "a message sent past accepts()";

    Distributor distributor;
    distributor.connect(pattern);
    EXPECT_TRUE(distributor.accepts(2));
    EXPECT_FALSE(Detail(distributor).enabled());
    distributor.connect(level3);
    EXPECT_TRUE(Detail(distributor).enabled());
    distributor.disconnect(level3);
    EXPECT_FALSE(distributor.accepts(3));
    // Levels beyond the cached range are asked directly.
    EXPECT_FALSE(distributor.accepts(40));
    EXPECT_TRUE(distributor.accepts(-1));

    // A change further down (a distributor behind a distributor) is seen too.
    Distributor outer;
    outer.connect(distributor);
    EXPECT_FALSE(outer.accepts(3));
    distributor.connect(level3);
    EXPECT_TRUE(enabled(3, outer));
}

// A long-lived stream made before the daemon connects its chain (a member of an object built
// at start-up) must not be switched off for good: a distributor without channels rules nothing
// out.
TEST(DroppedDetail, StreamCreatedBeforeTheChainIsBuiltStillDelivers) {
    Distributor distributor;
    Summary early(distributor);
    Detail early_detail(distributor);
    EXPECT_TRUE(early_detail.enabled());
    RecordingChannel sink;
    LevelFilter level(sink, 2);
    distributor.connect(level);
    early << "starting" << std::endl;
    early_detail << "detail" << std::endl;
    EXPECT_THAT(sink.texts(), ElementsAre("starting"));
    EXPECT_FALSE(Detail(distributor).enabled());
    distributor.disconnect(level);
}

TEST(DistributorTest, DeliversInConnectionOrderAndDisconnectsEveryOccurrence) {
    // Two filters that mark what passes through them, into one recording.
    RecordingChannel sink;
    TimestampFilter a(sink, "a:"), b(sink, "b:");
    Distributor distributor;
    distributor.connect(a);
    distributor.connect(b);
    distributor.connect(a);
    distributor.log(message(2, "m"));
    distributor.disconnect(a);
    distributor.log(message(2, "n"));
    distributor.disconnect(b);
    distributor.log(message(2, "o"));
    EXPECT_THAT(sink.texts(), ElementsAre("a:m", "b:m", "a:m", "b:n"));
}

TEST(PatternFilterTest, PassesOnlyMatchingTextCaseSensitively) {
    RecordingChannel sink;
    PatternFilter filter(sink, "capture '*' st?rted");
    for (const char* text :
         {"capture 'bbc1' started", "capture 'bbc1' stopped", "Capture 'bbc1' started",
          "capture '' started", "xcapture 'a' started"})
        filter.log(message(2, text));
    EXPECT_THAT(sink.texts(), ElementsAre("capture 'bbc1' started", "capture '' started"));
}

TEST(TimestampFilterTest, PrefixesInLocalTime) {
    const Time::Stamp stamp("2008-03-04T13:05:07.25Z");
    const uint64_t second = Time::Stamp("2008-03-04T13:05:59Z").seconds();
    const std::string daemon = TimestampFilter::default_format;
    const struct {
        const char* zone;
        std::string format;
        int level;
        Time::Stamp when;
        std::string expected;
    } cases[] = {
        {"UTC", daemon, 2, stamp, "Tue 04 Mar 13:05:07.250 [2]: "},
        // After 2038 and in another zone: the prefix follows TZ, not UTC.
        {"EST5", daemon, 3, Time::Stamp("2099-12-31T23:59:59.5Z"), "Thu 31 Dec 18:59:59.500 [3]: "},
        {"UTC", "%Y-%m-%d %H:%M:%S ", 2, stamp, "2008-03-04 13:05:07 "},
        {"UTC", "100%% [%*L|%*L] ", 3, stamp, "100% [3|3] "},
        {"UTC", "%*S", 1, stamp, "07.250"},
        {"UTC", "", 1, stamp, ""},
        // Milliseconds round, carrying into the next minute rather than showing 60.000.
        {"UTC", "%H:%M:%*S", 2, Time::Stamp::from_seconds(second, UINT32_MAX - 999),
         "13:06:00.000"},
        // More than the 80-byte buffer: no prefix rather than a truncated one.
        {"UTC", "%*S" + std::string(73, 'x'), 2, stamp, "07.250" + std::string(73, 'x')},
        {"UTC", "%*S" + std::string(74, 'x'), 2, stamp, ""},
        {"UTC", "%*S%*S" + std::string(68, 'x'), 2, stamp, ""},
    };
    RecordingChannel sink;
    for (const auto& c : cases) {
        set_time_zone(c.zone);
        EXPECT_EQ(TimestampFilter(sink, c.format).prefix(c.level, c.when), c.expected)
            << c.zone << " " << c.format;
    }
    TimestampFilter filter(sink);
    filter.log(Message(1, Time::Stamp("2008-03-04T13:05:07Z"), "capture started"));
    EXPECT_THAT(sink.lines(), ElementsAre("1 Tue 04 Mar 13:05:07.000 [1]: capture started"));
    EXPECT_EQ(sink.messages()[0].timestamp, Time::Stamp("2008-03-04T13:05:07Z"));
}

// Formats with "%%*" bypass the per-second cache, so the two paths can be compared: the same
// prefixes, plus the literal "%*", for messages that move within and across seconds and levels.
TEST(TimestampFilterTest, CachedPrefixesMatchDirectExpansion) {
    set_time_zone("CET-1CEST,M3.5.0,M10.5.0/3");
    RecordingChannel sink;
    const std::string format = TimestampFilter::default_format;
    const TimestampFilter cached(sink, format);
    const TimestampFilter direct(sink, format + "%%*");
    // Around the change to summer time, where local time skips an hour.
    Time::Stamp stamp("2008-03-30T00:59:58Z");
    uint64_t state = 12345;
    for (int i = 0; i < 3000; i++) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const int level = static_cast<int>(state >> 60) % 5;
        stamp += Time::Duration(static_cast<double>(state >> 40 & 0xFFF) / 4096.0 * 0.01);
        ASSERT_EQ(cached.prefix(level, stamp) + "%*", direct.prefix(level, stamp))
            << stamp.iso() << " level " << level;
    }
    EXPECT_EQ(cached.prefix(2, Time::Stamp("2008-03-30T01:00:00.5Z")),
              "Sun 30 Mar 03:00:00.500 [2]: ");
    EXPECT_EQ(cached.prefix(2, Time::Stamp("2008-03-30T00:59:59.5Z")),
              "Sun 30 Mar 01:59:59.500 [2]: ");
}

// A stream buffer that refuses writes while `failing` is set, like a file on a full disk.
struct FlakyBuf : std::streambuf {
    bool failing = false;
    std::string written;
    int_type overflow(int_type c) override {
        if (failing) return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) written += char(c);
        return traits_type::not_eof(c);
    }
};

TEST(StreamChannelTest, FlushesEachLineAndRecoversAfterAFailedWrite) {
    Corvid::Testing::TempDir dir;
    std::ofstream file(dir.file("log"));
    StreamChannel to_file(file);
    to_file.log(message(2, "one"));
    to_file.log(message(2, ""));
    // Flushed per line: visible to a reader while the stream is still open.
    const std::vector<uint8_t> bytes = Corvid::Testing::read_file(dir.file("log"));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "one\n\n");

    FlakyBuf buffer;
    std::ostream stream(&buffer);
    StreamChannel channel(stream);
    channel.log(message(1, "before"));
    buffer.failing = true;
    channel.log(message(1, "lost"));
    EXPECT_TRUE(stream.fail());
    buffer.failing = false;
    channel.log(message(1, "after"));
    stream.setstate(std::ios_base::badbit);
    channel.log(message(1, "again"));
    EXPECT_EQ(buffer.written, "before\nafter\nagain\n");
}

// Level streams made without a channel go to the process logger.
TEST(LogChain, LevelStreamsDefaultToTheProcessLogger) {
    RecordingChannel sink;
    LevelFilter level(sink, 2);
    ScopedConnection connection(logger, level);
    Error() << "Could not start capture 'bbc1'" << std::endl;
    Detail() << "not shown" << std::endl;
    Summary() << "capture 'bbc1' " << 3 << " segments" << std::endl;
    EXPECT_THAT(sink.lines(),
                ElementsAre("1 Could not start capture 'bbc1'", "2 capture 'bbc1' 3 segments"));
}

}  // namespace
}  // namespace Gantry::Log
