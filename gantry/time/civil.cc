#include "gantry/time/civil.h"

namespace Gantry::Time {

// The era arithmetic follows Howard Hinnant's "chrono-compatible low-level date algorithms": a
// year is shifted to start in March so that the leap day falls at its end.

int64_t days_from_civil(int64_t year, int month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;  // [0, 399]
    const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

void civil_from_days(int64_t days, int64_t& year, int& month, int& day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t day_of_era = days - era * 146097;  // [0, 146096]
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t shifted_month = (5 * day_of_year + 2) / 153;  // March = 0
    day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
}

bool is_leap_year(int64_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int days_in_month(int64_t year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && is_leap_year(year) ? 29 : days[month - 1];
}

std::tm make_tm(int64_t days, int seconds_of_day) {
    int64_t year;
    int month, day;
    civil_from_days(days, year, month, day);
    std::tm tm{};
    tm.tm_year = static_cast<int>(year - 1900);
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = seconds_of_day / 3600;
    tm.tm_min = seconds_of_day / 60 % 60;
    tm.tm_sec = seconds_of_day % 60;
    // 1970-01-01 was a Thursday (tm_wday 4).
    tm.tm_wday = static_cast<int>(((days % 7) + 11) % 7);
    tm.tm_yday = static_cast<int>(days - days_from_civil(year, 1, 1));
    tm.tm_isdst = 0;
    return tm;
}

}  // namespace Gantry::Time
