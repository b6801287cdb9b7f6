#include <cstdlib>
#include <ctime>
#include <fstream>
#include <locale>
#include <sstream>
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

using ::testing::ElementsAre;
using Corvid::Testing::RecordingChannel;
using Corvid::Testing::ScopedConnection;

constexpr uint64_t two_32 = uint64_t{1} << 32;

class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* tz) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (had_) {
            ::setenv("TZ", old_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};

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

// --- Level streams -------------------------------------------------------------------------

TEST(LevelStream, OneMessagePerNewline) {
    RecordingChannel channel;
    Summary log(channel);
    log << "a\nb";
    EXPECT_THAT(channel.texts(), ElementsAre("a"));
    log << "c" << 42 << std::endl;
    log << "\n";
    log << "x\ny\nz\n";
    log.put('p');
    log.put('\n');
    EXPECT_THAT(channel.texts(), ElementsAre("a", "bc42", "", "x", "y", "z", "p"));
}

TEST(LevelStream, CarriesLevelAndCompletionTime) {
    RecordingChannel channel;
    const Time::Stamp before = Time::Stamp::now();
    Error(channel) << "e" << std::endl;
    Summary(channel) << "s" << std::endl;
    Detail(channel) << "d" << std::endl;
    const Time::Stamp after = Time::Stamp::now();
    const std::vector<Message> messages = channel.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].level, 1);
    EXPECT_EQ(messages[1].level, 2);
    EXPECT_EQ(messages[2].level, 3);
    for (const Message& message : messages) {
        EXPECT_LE(before, message.timestamp);
        EXPECT_LE(message.timestamp, after);
    }
    Streams streams(channel);
    streams.error << "1\n";
    streams.detail << "3\n";
    EXPECT_EQ(channel.messages()[3].level, 1);
    EXPECT_EQ(channel.messages()[4].level, 3);
}

// Exposes the end-of-file marker, which only direct callers of overflow() can send.
class MarkerBuf : public StreamBuf {
  public:
    using StreamBuf::StreamBuf;
    void end_of_file() { overflow(traits_type::eof()); }
};

TEST(LevelStream, EndOfFileMarkerSendsOnceWithoutClearing) {
    RecordingChannel channel;
    {
        MarkerBuf buffer(channel, 2);
        std::ostream out(&buffer);
        out << "ab";
        buffer.end_of_file();
        buffer.end_of_file();
        EXPECT_THAT(channel.texts(), ElementsAre("ab"));
        out << "c\n";
        EXPECT_THAT(channel.texts(), ElementsAre("ab", "abc"));
        out << "d";
        buffer.end_of_file();
    }
    // Already sent by the marker: not sent again on destruction.
    EXPECT_THAT(channel.texts(), ElementsAre("ab", "abc", "d"));
}

// Text after the last newline used to vanish with the stream; a line written without std::endl
// (an error reported just before a throw, say) is sent when the stream goes away.
TEST(LevelStream, UnterminatedTextIsSentOnDestruction) {
    RecordingChannel channel;
    {
        Error log(channel);
        log << "first\nsecond";
        EXPECT_THAT(channel.texts(), ElementsAre("first"));
    }
    EXPECT_THAT(channel.texts(), ElementsAre("first", "second"));
    { Summary log(channel); }
    EXPECT_EQ(channel.texts().size(), 2u);
}

TEST(LevelStream, DefaultsToTheProcessLogger) {
    RecordingChannel channel;
    ScopedConnection connection(logger, channel);
    Error() << "to the logger" << std::endl;
    Detail() << "detail too" << std::endl;
    EXPECT_THAT(channel.texts(), ElementsAre("to the logger", "detail too"));
}

// --- Dropping before formatting ------------------------------------------------------------

TEST(DroppedDetail, FormatsNothingAndBuildsNoMessage) {
    RecordingChannel sink;
    LevelFilter level(sink, 2);
    int formatted = 0;
    {
        Detail log(level);
        EXPECT_FALSE(log.enabled());
        log.imbue(std::locale(log.getloc(), new CountingNumPut(formatted)));
        log << "value " << 42L << std::endl;
    }
    EXPECT_EQ(formatted, 0);
    EXPECT_TRUE(sink.messages().empty());
    {
        Summary log(level);
        EXPECT_TRUE(log.enabled());
        log.imbue(std::locale(log.getloc(), new CountingNumPut(formatted)));
        log << "value " << 42L << std::endl;
    }
    EXPECT_EQ(formatted, 1);
    EXPECT_THAT(sink.texts(), ElementsAre("value 42"));
}

// A message that does reach a level filter above its level stops there, before the time stamp
// filter behind it does any work.
TEST(DroppedDetail, LevelFilterStopsMessagesBeforeTheTimestamp) {
    RecordingChannel stamped_count;
    TimestampFilter stamp(stamped_count, "%*L ");
    LevelFilter level(stamp, 2);
    level.log(Message(3, Time::Stamp::now(), "detail"));
    level.log(Message(2, Time::Stamp::now(), "summary"));
    level.log(Message(1, Time::Stamp::now(), "error"));
    EXPECT_THAT(stamped_count.texts(), ElementsAre("2 summary", "1 error"));
}

TEST(DroppedDetail, AcceptsFollowsTheChain) {
    RecordingChannel sink;
    LevelFilter level2(sink, 2);
    TimestampFilter stamp(level2);
    PatternFilter pattern(stamp, "*");
    EXPECT_TRUE(pattern.accepts(1));
    EXPECT_TRUE(pattern.accepts(2));
    EXPECT_FALSE(pattern.accepts(3));

    Distributor distributor;
    // Nothing connected yet: not set up, so nothing is ruled out.
    EXPECT_TRUE(distributor.accepts(3));
    EXPECT_TRUE(distributor.accepts(40));
    distributor.connect(pattern);
    EXPECT_TRUE(distributor.accepts(2));
    EXPECT_FALSE(distributor.accepts(3));
    EXPECT_FALSE(Detail(distributor).enabled());

    // Connecting a more verbose chain takes effect for streams created afterwards.
    LevelFilter level3(sink, 3);
    distributor.connect(level3);
    EXPECT_TRUE(distributor.accepts(3));
    EXPECT_TRUE(Detail(distributor).enabled());
    distributor.disconnect(level3);
    EXPECT_FALSE(distributor.accepts(3));
    // Levels beyond the cached range are asked directly.
    EXPECT_FALSE(distributor.accepts(40));
    EXPECT_TRUE(distributor.accepts(-1));
    distributor.connect(sink);
    EXPECT_TRUE(distributor.accepts(40));
    distributor.disconnect(sink);

    // A change further down (a distributor behind a distributor) is seen too.
    Distributor outer;
    outer.connect(distributor);
    EXPECT_FALSE(outer.accepts(3));
    distributor.connect(level3);
    EXPECT_TRUE(outer.accepts(3));
    EXPECT_TRUE(enabled(3, outer));
}

// A long-lived stream made before the daemon connects its chain (a member of an object built
// at start-up) must not be switched off for good.
TEST(DroppedDetail, StreamCreatedBeforeTheChainIsBuiltStillDelivers) {
    Distributor distributor;
    Summary early(distributor);
    Detail early_detail(distributor);
    EXPECT_TRUE(early.enabled());
    RecordingChannel sink;
    LevelFilter level(sink, 2);
    distributor.connect(level);
    early << "starting" << std::endl;
    early_detail << "detail" << std::endl;
    EXPECT_THAT(sink.texts(), ElementsAre("starting"));
    EXPECT_FALSE(Detail(distributor).enabled());
    distributor.disconnect(level);
}

// --- Chain elements ------------------------------------------------------------------------

TEST(DistributorTest, DeliversInConnectionOrderAndDisconnectsEveryOccurrence) {
    std::vector<std::string> order;
    struct Named : Channel {
        Named(std::vector<std::string>& order, std::string name)
            : order(order), name(std::move(name)) {}
        void log(const Message& message) override { order.push_back(name + ":" + message.text); }
        std::vector<std::string>& order;
        std::string name;
    };
    Named a(order, "a"), b(order, "b");
    Distributor distributor;
    distributor.connect(a);
    distributor.connect(b);
    distributor.connect(a);
    distributor.log(Message(2, Time::Stamp::now(), "m"));
    EXPECT_THAT(order, ElementsAre("a:m", "b:m", "a:m"));
    order.clear();
    distributor.disconnect(a);
    distributor.log(Message(2, Time::Stamp::now(), "n"));
    EXPECT_THAT(order, ElementsAre("b:n"));
    distributor.disconnect(b);
    distributor.log(Message(2, Time::Stamp::now(), "o"));
    EXPECT_THAT(order, ElementsAre("b:n"));
}

TEST(PatternFilterTest, PassesOnlyMatchingTextCaseSensitively) {
    RecordingChannel sink;
    PatternFilter filter(sink, "capture '*' st?rted");
    for (const char* text :
         {"capture 'bbc1' started", "capture 'bbc1' stopped", "Capture 'bbc1' started",
          "capture '' started", "xcapture 'a' started"})
        filter.log(Message(2, Time::Stamp::now(), text));
    EXPECT_THAT(sink.texts(), ElementsAre("capture 'bbc1' started", "capture '' started"));
}

TEST(TimestampFilterTest, DaemonFormatInLocalTime) {
    ScopedTimeZone tz("UTC");
    RecordingChannel sink;
    TimestampFilter filter(sink);
    filter.log(Message(2, Time::Stamp("2008-03-04T13:05:07.25Z"), "capture started"));
    filter.log(Message(1, Time::Stamp("2008-03-04T13:05:07Z"), ""));
    EXPECT_THAT(sink.texts(), ElementsAre("Tue 04 Mar 13:05:07.250 [2]: capture started",
                                          "Tue 04 Mar 13:05:07.000 [1]: "));
    EXPECT_EQ(sink.messages()[0].level, 2);
    EXPECT_EQ(sink.messages()[0].timestamp, Time::Stamp("2008-03-04T13:05:07.25Z"));

    // After 2038 and in another zone: the prefix follows TZ, not UTC.
    ScopedTimeZone est("EST5");
    EXPECT_EQ(filter.prefix(3, Time::Stamp("2099-12-31T23:59:59.5Z")),
              "Thu 31 Dec 18:59:59.500 [3]: ");
}

TEST(TimestampFilterTest, PlaceholdersAndPlainStrftime) {
    ScopedTimeZone tz("UTC");
    const Time::Stamp stamp("2008-03-04T13:05:07.25Z");
    RecordingChannel sink;
    EXPECT_EQ(TimestampFilter(sink, "%Y-%m-%d %H:%M:%S ").prefix(2, stamp), "2008-03-04 13:05:07 ");
    EXPECT_EQ(TimestampFilter(sink, "100%% [%*L|%*L] ").prefix(3, stamp), "100% [3|3] ");
    EXPECT_EQ(TimestampFilter(sink, "%*S").prefix(1, stamp), "07.250");
    EXPECT_EQ(TimestampFilter(sink, "").prefix(1, stamp), "");
    // Milliseconds round, carrying into the next minute rather than showing 60.000.
    const Time::Stamp late =
        Time::Stamp::from_seconds(Time::Stamp("2008-03-04T13:05:59Z").seconds(), two_32 - 1000);
    EXPECT_EQ(TimestampFilter(sink, "%H:%M:%*S").prefix(2, late), "13:06:00.000");
    // More than the 80-byte buffer: no prefix rather than a truncated one.
    EXPECT_EQ(TimestampFilter(sink, std::string(100, 'x')).prefix(2, stamp), "");
    EXPECT_EQ(TimestampFilter(sink, "%*S" + std::string(73, 'x')).prefix(2, stamp),
              "07.250" + std::string(73, 'x'));
    EXPECT_EQ(TimestampFilter(sink, "%*S" + std::string(74, 'x')).prefix(2, stamp), "");
    EXPECT_EQ(TimestampFilter(sink, "%*S%*S" + std::string(68, 'x')).prefix(2, stamp), "");
}

// Formats with "%%*" bypass the per-second cache, so the two paths can be compared: the same
// prefixes, plus the literal "%*", for messages that move within and across seconds and levels.
TEST(TimestampFilterTest, CachedPrefixesMatchDirectExpansion) {
    ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
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

TEST(StreamChannelTest, WritesLinesAndFlushes) {
    Corvid::Testing::TempDir dir;
    std::ofstream file(dir.file("log"));
    StreamChannel channel(file);
    channel.log(Message(2, Time::Stamp::now(), "one"));
    channel.log(Message(2, Time::Stamp::now(), ""));
    channel.log(Message(2, Time::Stamp::now(), "three"));
    // Flushed per line: visible to a reader while the stream is still open.
    const std::vector<uint8_t> bytes = Corvid::Testing::read_file(dir.file("log"));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "one\n\nthree\n");
}

// A stream buffer that refuses writes while `failing` is set, like a file on a full disk.
class FlakyBuf : public std::streambuf {
  public:
    bool failing = false;
    std::string written;

  protected:
    int_type overflow(int_type c) override {
        if (failing) return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            written += traits_type::to_char_type(c);
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (failing) return 0;
        written.append(s, static_cast<size_t>(n));
        return n;
    }
};

TEST(StreamChannelTest, RecoversAfterAFailedWrite) {
    FlakyBuf buffer;
    std::ostream stream(&buffer);
    StreamChannel channel(stream);
    channel.log(Message(1, Time::Stamp::now(), "before"));
    buffer.failing = true;
    channel.log(Message(1, Time::Stamp::now(), "lost"));
    EXPECT_TRUE(stream.fail());
    buffer.failing = false;
    channel.log(Message(1, Time::Stamp::now(), "after"));
    EXPECT_EQ(buffer.written, "before\nafter\n");
    EXPECT_TRUE(stream.good());

    stream.setstate(std::ios_base::badbit);
    channel.log(Message(1, Time::Stamp::now(), "again"));
    EXPECT_EQ(buffer.written, "before\nafter\nagain\n");
}

TEST(LogChain, DaemonChainEndToEnd) {
    ScopedTimeZone tz("UTC");
    std::ostringstream out;
    StreamChannel file(out);
    TimestampFilter stamp(file);
    LevelFilter level(stamp, 2);
    ScopedConnection connection(logger, level);
    Error() << "Could not start capture 'bbc1'" << std::endl;
    Detail() << "not shown" << std::endl;
    Summary() << "capture 'bbc1' " << 3 << " segments" << std::endl;
    const std::string text = out.str();
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> bodies;
    while (std::getline(lines, line)) {
        // "Tue 04 Mar 13:05:07.250 [2]: " is 29 characters before the text.
        ASSERT_GE(line.size(), 29u) << line;
        EXPECT_EQ(line[19], '.');
        EXPECT_EQ(line[24], '[');
        bodies.push_back(line.substr(25));
    }
    EXPECT_THAT(bodies,
                ElementsAre("1]: Could not start capture 'bbc1'", "2]: capture 'bbc1' 3 segments"));
}

}  // namespace
}  // namespace Gantry::Log
