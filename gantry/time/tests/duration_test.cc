#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "gantry/time/time.h"

namespace Gantry::Time {
namespace {

double parsed(const std::string& text) {
    return Duration(text).seconds();
}

TEST(DurationParse, Grammar) {
    // An unknown word ends parsing, the number before it as seconds; no leading number is 0.
    using Cases = std::vector<std::pair<const char*, double>>;
    const Cases words = {{"90", 90},      {"10s", 10},        {"1.5 hours", 5400},
                         {"250ms", 0.25}, {"500 us", 0.0005}, {"1500 ns", 1.5e-6},
                         {".5 s", 0.5},   {"-5 min", -300},   {"1.5.3", 1.5},
                         {"", 0},         {"abc", 0},         {"1e3", 1}};
    const Cases phrases = {
        {"10 Seconds", 10},       {"5 fortnights", 5},      {"10s20", 10},
        {"1 hour 30 mins", 5400}, {"1 hour -30 min", 1800}, {"  10 \t seconds  ", 10},
        {"1 hour abc 30", 3600},  {"5 fortnights 3 h", 5},  {"1 hour 30", 3630}};
    // MM:SS, HH:MM:SS and D:HH:MM:SS. A fourth colon stops after adding the number before it:
    // 1:2:3 as days, hours, minutes is 93780 s, then the 4; the 5 is never read.
    const Cases colons = {{"01:30", 90},    {"01:00:00", 3600},  {"2:03:04:05", 183845},
                          {"00:00:90", 90}, {"01:30.5", 90.5},   {"1 : 30", 90},
                          {"01:", 60},      {"01:30 min", 1860}, {"1:2:3:4:5", 93784}};
    for (const Cases* cases : {&words, &phrases, &colons})
        for (const auto& [text, seconds] : *cases)
            EXPECT_EQ(parsed(text), seconds) << '"' << text << '"';
    EXPECT_EQ(
        parsed("1 w 1 weeks 1 d 1 day 1 h 1 hour 1 m 1 minute 1 minutes 1 mins 1 sec 1 secs 1 "
               "second 1 seconds"),
        2 * 604800 + 2 * 86400 + 2 * 3600 + 4 * 60 + 4);
    EXPECT_EQ(Duration(static_cast<const char*>(nullptr)).seconds(), 0);
    EXPECT_EQ(parsed("1" + std::string(400, '0')), 0);  // too large for a double
}

TEST(DurationHms, Format) {
    // Rounded to the millisecond first. 1e20: Python's divmod(1e20, 3600) is
    // (27777777777777776, 2800.0).
    const double inf = std::numeric_limits<double>::infinity();
    using Cases = std::vector<std::pair<double, const char*>>;
    const Cases usual = {{3725.5, "01:02:05.5"},     {59, "00:00:59"},      {0, "00:00:00"},
                         {5.123, "00:00:05.123"},    {360000, "100:00:00"}, {-90, "-00:01:30"},
                         {3599.999, "00:59:59.999"}, {0.0004, "00:00:00"},  {-0.5, "-00:00:00.5"},
                         {0.0006, "00:00:00.001"},   {59.9996, "00:01:00"}};
    const Cases extreme = {{1e9 + 0.125, "277777:46:40.125"},
                           {1e20, "27777777777777776:46:40"},
                           {inf, "inf"},
                           {-inf, "-inf"},
                           {std::nan(""), "nan"}};
    for (const Cases* cases : {&usual, &extreme})
        for (const auto& [seconds, text] : *cases)
            EXPECT_EQ(Duration(seconds).hms(), text) << seconds;
    for (double seconds : {0.0, 1.5, 59.0, 61.25, 3725.5, 86399.999, 360000.0})
        EXPECT_DOUBLE_EQ(Duration(Duration(seconds).hms()).seconds(), seconds) << seconds;
}

}  // namespace
}  // namespace Gantry::Time
