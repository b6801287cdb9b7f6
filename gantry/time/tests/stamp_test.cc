#include <sys/time.h>

#include <cmath>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gantry/time/time.h"
#include "tests/support/test_support.h"

namespace Gantry::Time {
namespace {

constexpr uint64_t two_32 = uint64_t{1} << 32;

// Seconds since 1900 of a few instants, worked out by hand from the day counts: 1900-1970 has 17
// leap years (70 * 365 + 17 = 25567 days), and 2008-03-04 is day 13942 after 1970-01-01.
constexpr uint64_t s_2008_03_04_13_05_07 = (25567ull + 13942) * 86400 + 13 * 3600 + 5 * 60 + 7;
// 2100-01-01 is Unix 4102444800.
constexpr uint64_t s_2099_12_31_23_59_59 = 4102444799ull + 2208988800ull;

using Corvid::Testing::set_time_zone;  // every test that depends on the zone sets it

TEST(StampText, FormatsWholeAndFractionalSeconds) {
    const uint64_t s = s_2008_03_04_13_05_07;
    EXPECT_EQ(Stamp::from_seconds(s).iso(), "2008-03-04T13:05:07Z");
    EXPECT_EQ(Stamp::from_seconds(s, two_32 / 4).iso(), "2008-03-04T13:05:07.25Z");
    EXPECT_EQ(Stamp::from_seconds(s + 3, two_32 / 2).iso(), "2008-03-04T13:05:10.5Z");
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
    EXPECT_EQ(Stamp("2008-03-04T13:05:07.25Z").fraction(), two_32 / 4);
    EXPECT_EQ(Stamp("2008-03-04T13:05:07.").fraction(), 0u);
    EXPECT_EQ(Stamp("2008-03-04T13:05:.5"),
              Stamp::from_seconds(s_2008_03_04_13_05_07 - 7, two_32 / 2));
    EXPECT_EQ(Stamp("2008-03-04T13:05:07.250000000000000000000000000000000000001Z").fraction(),
              two_32 / 4);
    // A leap second reads as the first second of the next minute.
    EXPECT_EQ(Stamp("2008-12-31T23:59:60Z"), Stamp("2009-01-01T00:00:00Z"));
}

TEST(StampParse, LenientAcceptsPartialForms) {
    const uint64_t at_1305 = s_2008_03_04_13_05_07 - 7, midnight = at_1305 - 13 * 3600 - 5 * 60;
    for (const auto& [text, seconds] : {std::pair{"2008-03-04", midnight},
                                        {"20080304", midnight},
                                        {"2008-03-04T", midnight},
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
         {"", "2008", "2008-03", "2008-3-04T13:05:07Z", "2008-03-4T13:05:07Z",
          "2008-03-04X13:05:07Z", "2008-03-04T1", "2008-03-04T13", "2008-03-04T13:5:07",
          "2008-03-04T13:05:07+01:00", "2008-03-04T13:05:07z", "2008-03-04T13:05:07ZZ",
          "2008-03-04T13:05:07.5.5", "2008-03-04T13:05:-7", "2008-03-04T13:05:+7",
          "2008-03-04T13:05:07 ", " 2008-03-04T13:05:07", "2008-03-04T13:05:.",
          "2008-03-04Tab:cd:ef", "x008-03-04T13:05:07Z", "2008-03-04garbage",
          // Before the epoch, and the epoch itself, which is the invalid value.
          "1899-12-31T23:59:59Z", "0000-01-01T00:00:00Z", "1900-01-01T00:00:00Z",
          "2008-13-04T13:05:07Z", "2008-00-04T13:05:07Z", "2008-03-00T13:05:07Z",
          "2008-03-32T13:05:07Z", "2007-02-29T00:00:00Z", "2100-02-29T00:00:00Z",
          "2008-04-31T00:00:00Z", "2008-03-04T24:00:00Z", "2008-03-04T13:60:00Z",
          "2008-03-04T13:05:61Z", "2008-03-04T13:05:0000000000000000000000000000000099Z"}) {
        EXPECT_FALSE(Stamp(text).valid()) << text;
        EXPECT_FALSE(Stamp(text, true).valid()) << text << " (lenient)";
    }
    EXPECT_FALSE(Stamp(static_cast<const char*>(nullptr)).valid());
    EXPECT_EQ(Stamp("1900-01-01T00:00:01Z").seconds(), 1u);
    EXPECT_EQ(Stamp("9999-12-31T23:59:59Z").seconds(), Stamp::max_seconds);
    EXPECT_TRUE(Stamp("2008-02-29T00:00:00Z").valid() && Stamp("2000-02-29T00:00:00Z").valid());
}

// 32-bit seconds since 1900 wrap here; 64-bit ones must not.
TEST(StampBeyond2036, ComparesAddsAndPrints) {
    const Stamp before("2036-02-07T06:28:15Z");
    const Stamp wrap("2036-02-07T06:28:16Z");
    EXPECT_EQ(wrap.seconds(), two_32);
    EXPECT_LT(before, wrap);
    EXPECT_EQ(wrap.iso(), "2036-02-07T06:28:16Z");
    EXPECT_EQ((before + Duration(1.5)).iso(), "2036-02-07T06:28:16.5Z");
    EXPECT_EQ((wrap - Duration(0.25)).iso(), "2036-02-07T06:28:15.75Z");
    EXPECT_DOUBLE_EQ((wrap - before).seconds(), 1.0);

    const Stamp late("2099-12-31T23:59:59Z");
    EXPECT_EQ(late.seconds(), s_2099_12_31_23_59_59);
    // 2000-01-01 to 2100-01-01 is 36525 days (25 leap years, 2000 included).
    EXPECT_DOUBLE_EQ((late + Duration(1) - Stamp("2000-01-01T00:00:00Z")).seconds(),
                     36525.0 * 86400);
}

TEST(StampArithmetic, CarriesFractionsOrdersAndSaturates) {
    const Stamp base("2008-03-04T13:05:07.75Z");
    EXPECT_EQ((base + Duration(0.5)).iso(), "2008-03-04T13:05:08.25Z");
    EXPECT_EQ((base - Duration(0.75)).iso(), "2008-03-04T13:05:07Z");
    EXPECT_EQ((base + Duration(-86400)).iso(), "2008-03-03T13:05:07.75Z");
    Stamp moving = base;
    (moving += Duration(60)) -= Duration(0.25);
    EXPECT_EQ(moving.iso(), "2008-03-04T13:06:07.5Z");
    EXPECT_DOUBLE_EQ((moving - base).seconds(), 59.75);
    EXPECT_DOUBLE_EQ((base - moving).seconds(), -59.75);
    // Ordering is on the seconds, then the fraction.
    EXPECT_TRUE(Stamp() < Stamp::from_seconds(0, 1) &&
                Stamp::from_seconds(100, 5) < Stamp::from_seconds(100, 6) &&
                Stamp::from_seconds(100, 6) < Stamp::from_seconds(101, 0));

    EXPECT_FALSE((Stamp("1900-01-01T00:00:01Z") - Duration(2)).valid());
    EXPECT_FALSE((base + Duration(std::nan(""))).valid());
    EXPECT_FALSE((base - Duration(1e300)).valid());
    const Stamp top = base + Duration(1e300);
    EXPECT_EQ(top.seconds(), Stamp::max_seconds);
    EXPECT_EQ(top.iso(), "9999-12-31T23:59:59.999999999Z");
    EXPECT_EQ((Stamp("9999-12-31T23:59:59Z") + Duration(5)).seconds(), Stamp::max_seconds);
    EXPECT_EQ(Stamp::from_seconds(UINT64_MAX).seconds(), Stamp::max_seconds);
}

TEST(StampUnix, ConvertsBothWays) {
    EXPECT_EQ(Stamp::from_time_t(0).iso(), "1970-01-01T00:00:00Z");
    EXPECT_EQ(Stamp::from_time_t(0).seconds(), 2208988800u);
    EXPECT_EQ(Stamp::from_unix(4102444799).iso(), "2099-12-31T23:59:59Z");
    EXPECT_EQ(Stamp::from_unix(-2208988799).iso(), "1900-01-01T00:00:01Z");
    EXPECT_FALSE(Stamp::from_unix(-2208988801).valid());
    EXPECT_EQ(Stamp("2099-12-31T23:59:59Z").to_time_t(), 4102444799);
    EXPECT_EQ(Stamp("1969-12-31T23:59:59Z").unix_seconds(), -1);

    for (long part : {0L, 1L, 123456L, 999999L, 123456789L, 999999999L}) {
        if (part < 1000000) {
            const timeval back = Stamp::from_timeval(timeval{1204635907, part}).to_timeval();
            EXPECT_EQ(back.tv_sec * 1000000 + back.tv_usec, 1204635907LL * 1000000 + part);
        }
        const timespec back = Stamp::from_timespec(timespec{4102444799, part}).to_timespec();
        EXPECT_EQ(back.tv_sec * 1000000000 + back.tv_nsec, 4102444799LL * 1000000000 + part);
    }
    // Odd forms some callers build are normalised.
    EXPECT_EQ(Stamp::from_timeval(timeval{10, -500000}).iso(), "1970-01-01T00:00:09.5Z");
    EXPECT_EQ(Stamp::from_timespec(timespec{10, 1500000000}).iso(), "1970-01-01T00:00:11.5Z");

    // Bounds from the precise real-time clock that now() reads: time() follows a coarse clock
    // that lags it by up to a tick after each second boundary.
    timeval before, after;
    ::gettimeofday(&before, nullptr);
    const Stamp now = Stamp::now();
    ::gettimeofday(&after, nullptr);
    EXPECT_GE(now.to_time_t(), before.tv_sec);
    EXPECT_LE(now.to_time_t(), after.tv_sec);
}

TEST(StampNtp, RoundTripsAcrossTheEraBoundary) {
    const Stamp late("2099-12-31T23:59:59.5Z");
    const uint64_t ntp = late.to_ntp();
    EXPECT_EQ(ntp >> 32, (s_2099_12_31_23_59_59 - two_32));
    EXPECT_EQ(static_cast<uint32_t>(ntp), two_32 / 2);
    for (const char* text : {"1990-05-06T07:08:09Z", "2036-02-07T06:28:16.5Z",
                             "2036-02-07T06:28:15Z", "2099-12-31T23:59:59.5Z"})
        EXPECT_EQ(Stamp::from_ntp(Stamp(text).to_ntp()), Stamp(text)) << text;
    // That very instant is NTP 0, which means "unknown" in the NTP layout.
    EXPECT_EQ(Stamp("2036-02-07T06:28:16Z").to_ntp(), 0u);
    EXPECT_FALSE(Stamp::from_ntp(0, Stamp("2036-01-01T00:00:00Z")).valid());
    EXPECT_FALSE(Stamp::from_ntp(0).valid());

    // Outside 1968-2104 the era comes from a reference time.
    EXPECT_NE(Stamp::from_ntp(Stamp("1920-01-01T00:00:00Z").to_ntp()),
              Stamp("1920-01-01T00:00:00Z"));
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
    EXPECT_EQ(Stamp::from_utc({2008, 3, 0, 0, 0, 0}).iso(), "2008-02-29T00:00:00Z");
    EXPECT_FALSE(Stamp::from_utc({2008, 13, 1, 0, 0, 0}).valid());
    EXPECT_FALSE(Stamp::from_utc({1899, 12, 31, 0, 0, 0}).valid());

    const Stamp stamp("2008-03-04T13:05:07Z");
    set_time_zone("EST5");
    EXPECT_EQ(stamp.local_tm().tm_hour, 8);
    const std::tm late = Stamp("2100-01-01T03:00:00Z").local_tm();
    EXPECT_EQ(std::vector<int>({late.tm_year, late.tm_mday, late.tm_hour}),
              std::vector<int>({199, 31, 22}));
    // UTC conversions ignore TZ.
    EXPECT_EQ(stamp.utc_tm().tm_hour, 13);
    EXPECT_EQ(stamp.iso(), "2008-03-04T13:05:07Z");
}

// Python's datetime is an independent calendar: compare text, weekday, the locale forms and the
// broken-down fields for instants spread over the whole range.
TEST(StampCalendar, AgreesWithPythonDatetime) {
    CORVID_REQUIRE_PROGRAM("python3");
    std::vector<uint64_t> seconds = {1, 86399, 86400, two_32 - 1, two_32, Stamp::max_seconds};
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 400; i++) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        seconds.push_back(1 + (state >> 11) % Stamp::max_seconds);
    }
    std::string program = "import datetime\nfor s in [";
    for (uint64_t s : seconds)
        program += std::to_string(s) + ",";
    program +=
        "]:\n"
        "    t = datetime.datetime(1900, 1, 1) + datetime.timedelta(seconds=s)\n"
        "    print(t.isoformat() + 'Z', t.isoweekday(), t.strftime('%m/%d/%y %H:%M:%S'),\n"
        "          t.timetuple().tm_yday - 1, t.year - 1900, t.month - 1, t.day, t.hour)\n";
    int status = -1;
    std::istringstream lines(Corvid::Testing::run_command(
        "python3 -c " + Corvid::Testing::shell_quote(program), &status));
    ASSERT_EQ(status, 0);
    for (uint64_t s : seconds) {
        std::string iso, date, time;
        int weekday = 0;
        std::vector<int> tm(5);
        ASSERT_TRUE(lines >> iso >> weekday >> date >> time >> tm[0] >> tm[1] >> tm[2] >> tm[3] >>
                    tm[4]);
        const Stamp stamp = Stamp::from_seconds(s);
        EXPECT_EQ(stamp.iso(), iso) << s;
        EXPECT_EQ(stamp.weekday(), weekday) << s;
        EXPECT_EQ(Stamp(iso), stamp) << iso;
        EXPECT_EQ(stamp.locale_date() + " " + stamp.locale_time() + "|" + stamp.locale_date_time(),
                  date + " " + time + "|" + date + " " + time.substr(0, 5))
            << iso;
        const std::tm utc = stamp.utc_tm();
        EXPECT_EQ(utc.tm_wday, weekday % 7) << iso;
        EXPECT_EQ(
            std::vector<int>({utc.tm_yday, utc.tm_year, utc.tm_mon, utc.tm_mday, utc.tm_hour}), tm)
            << iso;
    }
}

}  // namespace
}  // namespace Gantry::Time
