#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "gantry/time/time.h"

namespace Gantry::Time {
namespace {

double parsed(const char* text) {
    return Duration(text).seconds();
}

TEST(DurationParse, UnitWords) {
    EXPECT_EQ(parsed("90"), 90);
    EXPECT_EQ(parsed("10 seconds"), 10);
    EXPECT_EQ(parsed("10s"), 10);
    EXPECT_EQ(parsed("10 secs"), 10);
    EXPECT_EQ(parsed("10 sec"), 10);
    EXPECT_EQ(parsed("1 second"), 1);
    EXPECT_EQ(parsed("1 min"), 60);
    EXPECT_EQ(parsed("1m"), 60);
    EXPECT_EQ(parsed("2 mins"), 120);
    EXPECT_EQ(parsed("1 minute"), 60);
    EXPECT_EQ(parsed("3 minutes"), 180);
    EXPECT_EQ(parsed("1.5 hours"), 5400);
    EXPECT_EQ(parsed("1 hour 30 mins"), 5400);
    EXPECT_EQ(parsed("1h"), 3600);
    EXPECT_EQ(parsed("1 day"), 86400);
    EXPECT_EQ(parsed("2 days"), 172800);
    EXPECT_EQ(parsed("1d"), 86400);
    EXPECT_EQ(parsed("1 week"), 604800);
    EXPECT_EQ(parsed("2 weeks"), 1209600);
    EXPECT_EQ(parsed("1w"), 604800);
    EXPECT_EQ(parsed("250 ms"), 0.25);
    EXPECT_EQ(parsed("250ms"), 0.25);
    EXPECT_EQ(parsed("500 us"), 0.0005);
    EXPECT_EQ(parsed("1500 ns"), 1.5e-6);
    EXPECT_EQ(parsed("1 week 2 days 3 hours 4 min 5 s 6 ms"),
              604800 + 172800 + 10800 + 240 + 5 + 0.006);
}

TEST(DurationParse, BareNumbersAndStops) {
    EXPECT_EQ(parsed(""), 0);
    EXPECT_EQ(Duration(static_cast<const char*>(nullptr)).seconds(), 0);
    EXPECT_EQ(Duration(std::string("10")).seconds(), 10);
    EXPECT_EQ(Duration("10"), Duration("10 seconds"));
    // A word outside the dictionary ends parsing after counting the number as seconds.
    EXPECT_EQ(parsed("10 Seconds"), 10);
    EXPECT_EQ(parsed("5 fortnights"), 5);
    EXPECT_EQ(parsed("5 fortnights 3 hours"), 5);
    EXPECT_EQ(parsed("1 month"), 1);
    EXPECT_EQ(parsed("10s20"), 10);
    EXPECT_EQ(parsed("1 min30"), 1);
    EXPECT_EQ(parsed("1e3"), 1);
    // A trailing bare number counts as seconds.
    EXPECT_EQ(parsed("1 hour 30"), 3630);
    EXPECT_EQ(parsed("  10 \t seconds  "), 10);
    EXPECT_EQ(parsed("10 "), 10);
    // No number at all.
    EXPECT_EQ(parsed("seconds"), 0);
    EXPECT_EQ(parsed("abc"), 0);
    EXPECT_EQ(parsed("-"), 0);
    EXPECT_EQ(parsed("."), 0);
    EXPECT_EQ(parsed("1 hour abc 30"), 3600);
    // Signs and decimal points.
    EXPECT_EQ(parsed("-5 min"), -300);
    EXPECT_EQ(parsed("+5"), 5);
    EXPECT_EQ(parsed(".5 s"), 0.5);
    EXPECT_EQ(parsed("5."), 5);
    EXPECT_EQ(parsed("1.5.3"), 1.5);
    EXPECT_EQ(parsed("1 hour -30 min"), 1800);
    // Too large for a double: not a number.
    EXPECT_EQ(parsed(("1" + std::string(400, '0')).c_str()), 0);
}

TEST(DurationParse, ColonForms) {
    EXPECT_EQ(parsed("01:30"), 90);
    EXPECT_EQ(parsed("01:00:00"), 3600);
    EXPECT_EQ(parsed("1:02:00:00"), 93600);
    EXPECT_EQ(parsed("00:00:90"), 90);
    EXPECT_EQ(parsed("1:00:00:00"), 86400);
    EXPECT_EQ(parsed("2:03:04:05"), 2 * 86400 + 3 * 3600 + 4 * 60 + 5);
    EXPECT_EQ(parsed("01:30.5"), 90.5);
    EXPECT_EQ(parsed("1 : 30"), 90);
    EXPECT_EQ(parsed("01:"), 60);
    EXPECT_EQ(parsed("01:30 min"), 60 + 30 * 60);
    // A fourth colon stops parsing after adding the number before it: 1:2:3:4 as days, hours,
    // minutes gives 93780 s, the 4 is then added, and the 5 is never read.
    EXPECT_EQ(parsed("1:2:3:4:5"), 93784);
}

TEST(DurationUnits, Dictionary) {
    const Duration::Units& units = Duration::units();
    EXPECT_EQ(units.multipliers.size(), 19u);
    for (const char* word : {"s", "sec", "secs", "second", "seconds"})
        EXPECT_EQ(units.multipliers.at(word), 1) << word;
    for (const char* word : {"m", "min", "mins", "minute", "minutes"})
        EXPECT_EQ(units.multipliers.at(word), 60) << word;
    for (const char* word : {"h", "hour", "hours"})
        EXPECT_EQ(units.multipliers.at(word), 3600) << word;
    for (const char* word : {"d", "day", "days"})
        EXPECT_EQ(units.multipliers.at(word), 86400) << word;
    for (const char* word : {"w", "week", "weeks"})
        EXPECT_EQ(units.multipliers.at(word), 604800) << word;
    EXPECT_EQ(units.divisors.size(), 3u);
    EXPECT_EQ(units.divisors.at("ns"), 1000000000);
    EXPECT_EQ(units.divisors.at("us"), 1000000);
    EXPECT_EQ(units.divisors.at("ms"), 1000);
    EXPECT_EQ(&units, &Duration::units());
}

TEST(DurationHms, Format) {
    EXPECT_EQ(Duration(3725.5).hms(), "01:02:05.5");
    EXPECT_EQ(Duration(59).hms(), "00:00:59");
    EXPECT_EQ(Duration(0).hms(), "00:00:00");
    EXPECT_EQ(Duration(5.123).hms(), "00:00:05.123");
    EXPECT_EQ(Duration(3599.999).hms(), "00:59:59.999");
    EXPECT_EQ(Duration(360000).hms(), "100:00:00");
    EXPECT_EQ(Duration(93600).hms(), "26:00:00");
    // Rounded to the millisecond first.
    EXPECT_EQ(Duration(0.0004).hms(), "00:00:00");
    EXPECT_EQ(Duration(0.0006).hms(), "00:00:00.001");
    EXPECT_EQ(Duration(59.9996).hms(), "00:01:00");
    EXPECT_EQ(Duration(1e9 + 0.125).hms(), "277777:46:40.125");
}

TEST(DurationHms, NegativeHugeAndNonFinite) {
    EXPECT_EQ(Duration(-90).hms(), "-00:01:30");
    EXPECT_EQ(Duration(-0.5).hms(), "-00:00:00.5");
    // Python: divmod(1e20, 3600) == (27777777777777776, 2800.0).
    EXPECT_EQ(Duration(1e20).hms(), "27777777777777776:46:40");
    EXPECT_EQ(Duration(std::numeric_limits<double>::infinity()).hms(), "inf");
    EXPECT_EQ(Duration(-std::numeric_limits<double>::infinity()).hms(), "-inf");
    EXPECT_EQ(Duration(std::nan("")).hms(), "nan");
}

TEST(DurationHms, ParsesBack) {
    for (double seconds : {0.0, 1.5, 59.0, 61.25, 3725.5, 86399.999, 360000.0})
        EXPECT_DOUBLE_EQ(Duration(Duration(seconds).hms()).seconds(), seconds) << seconds;
}

TEST(DurationValue, ArithmeticAndOrdering) {
    const Duration a(90), b(30);
    EXPECT_EQ((a + b).seconds(), 120);
    EXPECT_EQ((a - b).seconds(), 60);
    EXPECT_EQ((a * 2).seconds(), 180);
    EXPECT_EQ((0.5 * a).seconds(), 45);
    EXPECT_EQ((a / 4).seconds(), 22.5);
    EXPECT_EQ(a / b, 3);
    EXPECT_EQ((-a).seconds(), -90);
    Duration c = a;
    c += b;
    c -= Duration(20);
    c *= 2;
    c /= 5;
    EXPECT_EQ(c.seconds(), 40);
    EXPECT_LT(b, a);
    EXPECT_GT(a, b);
    EXPECT_LE(a, Duration("1.5 min"));
    EXPECT_EQ(Duration(90), a);
    EXPECT_NE(a, b);
    EXPECT_EQ(Duration().seconds(), 0);
    static_assert(Duration(2) + Duration(3) == Duration(5));
}

}  // namespace
}  // namespace Gantry::Time
