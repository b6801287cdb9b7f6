#include <sys/time.h>

#include <cmath>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "gantry/time/time.h"
#include "tests/support/test_support.h"

namespace Gantry::Time {
namespace {

constexpr uint64_t two_32 = uint64_t{1} << 32;

// 1900-1970 is 25567 days (17 leap years), and 2008-03-04 is day 13942 after 1970-01-01.
constexpr uint64_t s_2008_03_04_13_05_07 = (25567ull + 13942) * 86400 + 13 * 3600 + 5 * 60 + 7;

TEST(StampText, FormatsWholeAndFractionalSeconds) {
    const uint64_t s = s_2008_03_04_13_05_07;
    EXPECT_EQ(Stamp::from_seconds(s, two_32 / 4).iso(), "2008-03-04T13:05:07.25Z");
    // Tiny fractions stay in fixed notation; 2^-32 s rounds to 0 ns.
    EXPECT_EQ(Stamp::from_seconds(s, 5).iso(), "2008-03-04T13:05:07.000000001Z");
    EXPECT_EQ(Stamp::from_seconds(s, 1).iso(), "2008-03-04T13:05:07Z");
    // A fraction that rounds to a whole second carries into the minute.
    EXPECT_EQ(Stamp::from_seconds(s + 52, UINT32_MAX).iso(), "2008-03-04T13:06:00Z");
    std::ostringstream out;
    out << Stamp::from_seconds(s) << '|' << Stamp();  // the invalid stamp prints as nothing
    EXPECT_EQ(out.str(), "2008-03-04T13:05:07Z|");
}

TEST(StampParse, CompactAndExtendedFormsAgree) {
    const Stamp expected = Stamp::from_seconds(s_2008_03_04_13_05_07);
    for (const char* text : {"2008-03-04T13:05:07Z", "20080304T130507", "2008-03-04 13:05:07",
                             "2008-0304T13:0507Z", "2008-03-04T13:05:0000000007Z"})
        EXPECT_EQ(Stamp(text), expected) << text;
    EXPECT_EQ(Stamp("2008-03-04T13:05:.5"),
              Stamp::from_seconds(s_2008_03_04_13_05_07 - 7, two_32 / 2));
    EXPECT_EQ(Stamp("2008-03-04T13:05:07.250000000000000000000000000000000000001Z").fraction(),
              two_32 / 4);
    // A leap second, and a fraction that rounds up to a whole second, read as the next minute.
    for (const char* text : {"2008-12-31T23:59:60Z", "2008-12-31T23:59:59.99999999999Z"})
        EXPECT_EQ(Stamp(text), Stamp("2009-01-01T00:00:00Z")) << text;
}

TEST(StampParse, LenientAcceptsPartialForms) {
    const uint64_t at_1305 = s_2008_03_04_13_05_07 - 7, midnight = at_1305 - 13 * 3600 - 5 * 60;
    for (const auto& [text, seconds] : {std::pair{"2008-03-04", midnight},
                                        {"20080304", midnight},
                                        {"2008-03-04T13:05", at_1305},
                                        {"2008-03-04T13:05:Z", at_1305}}) {
        EXPECT_FALSE(Stamp(text).valid()) << text;
        EXPECT_EQ(Stamp(text, true), Stamp::from_seconds(seconds)) << text;
    }
    EXPECT_FALSE(Stamp("2008-03-04T13:05Z").valid());
}

// Out-of-range fields used to be folded into the next month or day; a calendar date that does
// not exist is refused instead.
TEST(StampParse, MalformedTextAndFieldsOutOfRangeAreInvalid) {
    for (const char* text :
         {"", "2008", "2008-03", "2008-3-04T13:05:07Z", "2008-03-04X13:05:07Z", "2008-03-04T1",
          "2008-03-04T13:5:07", "2008-03-04T13:05:07ZZ", "2008-03-04T13:05:07.5.5",
          "2008-03-04T13:05:-7", "2008-03-04T13:05:07 ", " 2008-03-04T13:05:07",
          "2008-03-04T13:05:.", "x008-03-04T13:05:07Z",
          // Before the epoch, and the epoch itself, which is the invalid value.
          "1899-12-31T23:59:59Z", "1900-01-01T00:00:00Z", "2008-13-04T13:05:07Z",
          "2008-03-00T13:05:07Z", "2007-02-29T00:00:00Z", "2100-02-29T00:00:00Z",
          "2008-04-31T00:00:00Z", "2008-03-04T24:00:00Z", "2008-03-04T13:60:00Z",
          "2008-03-04T13:05:61Z", "2008-03-04T13:05:0000000000000000000000000000000099Z"}) {
        EXPECT_FALSE(Stamp(text).valid()) << text;
        EXPECT_FALSE(Stamp(text, true).valid()) << text << " (lenient)";
    }
    EXPECT_FALSE(Stamp(static_cast<const char*>(nullptr)).valid());
    EXPECT_TRUE(Stamp("2008-02-29T00:00:00Z").valid() && Stamp("2000-02-29T00:00:00Z").valid());
}

TEST(StampArithmetic, CarriesFractionsOrdersAndSaturates) {
    // 32-bit seconds since 1900 wrap at 2036-02-07T06:28:16Z; 64-bit ones must not.
    const Stamp before("2036-02-07T06:28:15Z"), wrap = before + Duration(1);
    EXPECT_EQ(wrap.seconds(), two_32);
    EXPECT_EQ((before + Duration(1.5)).iso(), "2036-02-07T06:28:16.5Z");
    EXPECT_EQ((wrap - Duration(0.25)).iso(), "2036-02-07T06:28:15.75Z");
    EXPECT_DOUBLE_EQ((wrap - before).seconds(), 1.0);

    const Stamp base("2008-03-04T13:05:07.75Z");
    EXPECT_EQ((base - Duration(0.75)).iso(), "2008-03-04T13:05:07Z");
    EXPECT_EQ((base + Duration(-86400)).iso(), "2008-03-03T13:05:07.75Z");
    Stamp moving = base;
    (moving += Duration(60)) -= Duration(0.25);
    EXPECT_DOUBLE_EQ((base - moving).seconds(), -59.75);
    // Ordering is on the seconds, then the fraction.
    EXPECT_TRUE(Stamp::from_seconds(100, 5) < Stamp::from_seconds(100, 6) &&
                Stamp::from_seconds(100, 6) < Stamp::from_seconds(101, 0));

    EXPECT_FALSE((Stamp("1900-01-01T00:00:01Z") - Duration(2)).valid());
    EXPECT_FALSE((base + Duration(std::nan(""))).valid() || (base - Duration(1e300)).valid());
    EXPECT_EQ((base + Duration(1e300)).iso(), "9999-12-31T23:59:59.999999999Z");
    EXPECT_EQ(Stamp::from_seconds(UINT64_MAX).seconds(), Stamp::max_seconds);
}

TEST(StampUnix, ConvertsBothWays) {
    EXPECT_EQ(Stamp::from_unix(4102444799).iso(), "2099-12-31T23:59:59Z");
    EXPECT_EQ(Stamp::from_unix(-2208988799).iso(), "1900-01-01T00:00:01Z");
    EXPECT_FALSE(Stamp::from_unix(-2208988801).valid());
    EXPECT_EQ(Stamp("2099-12-31T23:59:59Z").to_time_t(), 4102444799);
    EXPECT_EQ(Stamp("1969-12-31T23:59:59Z").unix_seconds(), -1);

    const timeval tv = Stamp::from_timeval(timeval{1204635907, 999999}).to_timeval();
    EXPECT_EQ(tv.tv_sec * 1000000 + tv.tv_usec, 1204635907999999);
    for (long part : {0L, 1L, 123456789L, 999999999L}) {
        const timespec back = Stamp::from_timespec(timespec{4102444799, part}).to_timespec();
        EXPECT_EQ(back.tv_sec * 1000000000 + back.tv_nsec, 4102444799LL * 1000000000 + part);
    }
    // Odd forms some callers build are normalised.
    EXPECT_EQ(Stamp::from_timeval(timeval{10, -500000}).iso(), "1970-01-01T00:00:09.5Z");
    EXPECT_EQ(Stamp::from_timespec(timespec{10, 1500000000}).iso(), "1970-01-01T00:00:11.5Z");

    // Bounded by gettimeofday: time()'s coarse clock lags now() by up to a tick.
    timeval before, after;
    ::gettimeofday(&before, nullptr);
    const Stamp now = Stamp::now();
    ::gettimeofday(&after, nullptr);
    EXPECT_GE(now.to_time_t(), before.tv_sec);
    EXPECT_LE(now.to_time_t(), after.tv_sec);
}

TEST(StampNtp, RoundTripsAcrossTheEraBoundary) {
    // Era 1: seconds since 1900 less 2^32 (2100-01-01 is Unix 4102444800).
    EXPECT_EQ(Stamp("2099-12-31T23:59:59.5Z").to_ntp(),
              ((4102444799ull + 2208988800ull - two_32) << 32) + two_32 / 2);
    for (const char* text : {"1990-05-06T07:08:09Z", "2036-02-07T06:28:16.5Z",
                             "2036-02-07T06:28:15Z", "2099-12-31T23:59:59.5Z"})
        EXPECT_EQ(Stamp::from_ntp(Stamp(text).to_ntp()), Stamp(text)) << text;
    // That very instant is NTP 0, which means "unknown" in the NTP layout.
    EXPECT_EQ(Stamp("2036-02-07T06:28:16Z").to_ntp(), 0u);
    EXPECT_FALSE(Stamp::from_ntp(0, Stamp("2036-01-01T00:00:00Z")).valid());

    // Outside 1968-2104 the era comes from a reference time.
    for (const auto& [text, reference] : {std::pair{"1920-01-01T00:00:00Z", "1925-01-01T00:00:00Z"},
                                          {"2150-01-01T00:00:00Z", "2149-12-31T00:00:00Z"},
                                          {"2099-12-31T23:59:59.5Z", "2036-02-07T06:28:15Z"},
                                          {"2099-12-31T23:59:59.5Z", ""}})
        EXPECT_EQ(Stamp::from_ntp(Stamp(text).to_ntp(), Stamp(reference)), Stamp(text)) << text;
}

TEST(StampCalendar, BrokenDownLocaleAndLocalTime) {
    const BrokenDownTime utc = Stamp("2099-12-31T23:59:58.5Z").utc();
    EXPECT_EQ(utc, (BrokenDownTime{2099, 12, 31, 23, 59, 58.5}));
    EXPECT_EQ(Stamp::from_utc(utc).iso(), "2099-12-31T23:59:58.5Z");
    EXPECT_EQ(Stamp::from_utc({2008, 3, 4, 12, 65, 7}).iso(), "2008-03-04T13:05:07Z");
    EXPECT_FALSE(Stamp::from_utc({2008, 13, 1, 0, 0, 0}).valid());

    const Stamp stamp("2008-03-04T13:05:07Z");
    Corvid::Testing::set_time_zone("EST5");
    EXPECT_EQ(Stamp("2100-01-01T03:00:00Z").local_tm().tm_year, 199);
    EXPECT_EQ(stamp.utc_tm().tm_hour, 13);  // UTC conversions ignore TZ
}

// Python's datetime is an independent calendar: compare text, weekday, the locale forms and the
// broken-down fields for instants spread over the whole range.
TEST(StampCalendar, AgreesWithPythonDatetime) {
    CORVID_REQUIRE_PROGRAM("python3");
    const std::string program =
        "import datetime, random\nrandom.seed(1)\nmost = " + std::to_string(Stamp::max_seconds) +
        "\nfor s in [1, 86399, 86400, 2**32 - 1, 2**32, most] + random.sample(range(1, most), "
        "400):\n"
        "    t = datetime.datetime(1900, 1, 1) + datetime.timedelta(seconds=s)\n"
        "    print(s, t.isoformat() + 'Z', t.isoweekday(), t.isoweekday() % 7,\n"
        "          t.strftime('%m/%d/%y %H:%M:%S|%m/%d/%y %H:%M'), t.timetuple().tm_yday - 1,\n"
        "          t.year - 1900, t.month - 1, t.day, t.hour)\n";
    int status = -1, count = 0;
    std::istringstream lines(Corvid::Testing::run_command(
        "python3 -c " + Corvid::Testing::shell_quote(program), &status));
    ASSERT_EQ(status, 0);
    for (std::string line; std::getline(lines, line); count++) {
        const Stamp stamp = Stamp::from_seconds(std::stoull(line));
        const std::tm utc = stamp.utc_tm();
        std::string ours = std::to_string(stamp.seconds()) + ' ' + stamp.iso() + ' ' +
                           std::to_string(stamp.weekday()) + ' ' + std::to_string(utc.tm_wday) +
                           ' ' + stamp.locale_date() + ' ' + stamp.locale_time() + '|' +
                           stamp.locale_date_time();
        for (int field : {utc.tm_yday, utc.tm_year, utc.tm_mon, utc.tm_mday, utc.tm_hour})
            ours += ' ' + std::to_string(field);
        EXPECT_EQ(ours, line);
        EXPECT_EQ(Stamp(stamp.iso()), stamp) << line;
    }
    EXPECT_EQ(count, 406);
}

}  // namespace
}  // namespace Gantry::Time
