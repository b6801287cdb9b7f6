// Calendar arithmetic on the proleptic Gregorian calendar, independent of time_t width, the TZ
// variable and the C library's time functions.
#pragma once

#include <cstdint>
#include <ctime>

namespace Gantry::Time {

// A UTC (or local) calendar time split into fields. Month 1-12, day 1-31; seconds may carry a
// fraction.
struct BrokenDownTime {
    int year = 1900;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    double seconds = 0;

    friend bool operator==(const BrokenDownTime&, const BrokenDownTime&) = default;
};

// Days from 1970-01-01 to the given date. Day values outside the month count on linearly
// (day 0 is the last day of the previous month); month must be 1-12.
int64_t days_from_civil(int64_t year, int month, int64_t day);

// The date of a day counted from 1970-01-01.
void civil_from_days(int64_t days, int64_t& year, int& month, int& day);

bool is_leap_year(int64_t year);
// 28-31; 0 for a month outside 1-12.
int days_in_month(int64_t year, int month);

// Fills a struct tm (tm_year from 1900, tm_mon from 0, tm_wday, tm_yday; tm_isdst 0) for a UTC
// instant given as days since 1970 and seconds within that day.
std::tm make_tm(int64_t days, int seconds_of_day);

}  // namespace Gantry::Time
