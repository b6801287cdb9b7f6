// Time::Stamp: an absolute UTC instant with a 2^-32 s fraction and ISO 8601 text.
#pragma once

#include <sys/time.h>

#include <compare>
#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <string>
#include <string_view>

#include "gantry/time/civil.h"
#include "gantry/time/duration.h"

namespace Gantry::Time {

// Whole seconds since 1900-01-01T00:00:00Z plus a fraction in units of 2^-32 s (the NTP fraction).
// The all-zero value, that very instant, means "invalid" or "not set".
//
// The seconds are 64 bits wide: the 32-bit seconds field of the NTP layout wraps on
// 2036-02-07T06:28:16Z, and comparisons, sums and text must stay right past that. The range ends
// at 9999-12-31T23:59:59Z plus the largest fraction (ISO text has four-digit years); arithmetic
// saturates there, and results before 1900 give the invalid stamp.
//
// A plain value; safe to copy between threads.
class Stamp {
  public:
    // 1970-01-01T00:00:00Z in seconds since 1900.
    static constexpr int64_t unix_epoch = 2208988800;
    // 9999-12-31T23:59:59Z in seconds since 1900.
    static constexpr uint64_t max_seconds = 255611289599;

    constexpr Stamp() = default;  // invalid

    // ISO 8601 text, as parse().
    explicit Stamp(std::string_view iso, bool lenient = false) : Stamp(parse(iso, lenient)) {}
    explicit Stamp(const char* iso, bool lenient = false)
        : Stamp(iso ? parse(iso, lenient) : Stamp()) {}

    // The current time of the system clock.
    static Stamp now();

    // Seconds beyond max_seconds saturate.
    static constexpr Stamp from_seconds(uint64_t seconds_since_1900, uint32_t fraction = 0) {
        return seconds_since_1900 > max_seconds ? Stamp(max_seconds, fraction)
                                                : Stamp(seconds_since_1900, fraction);
    }
    // Unix time (seconds since 1970, negative before it). Instants before 1900 give the invalid
    // stamp.
    static Stamp from_unix(int64_t seconds, uint32_t fraction = 0);
    static Stamp from_time_t(time_t seconds) { return from_unix(seconds); }
    // Sub-second parts are rounded up to the next 2^-32 s so that to_timeval / to_timespec give
    // back exactly the microseconds / nanoseconds put in.
    static Stamp from_timeval(const timeval& tv);
    static Stamp from_timespec(const timespec& ts);

    // The 64-bit NTP layout (32.32) keeps only the low 32 bits of the seconds, so reading it back
    // needs an era. Without a reference the RFC 4330 rule applies: a set top bit means
    // 1968-2036, a clear one 2036-2104. With a valid reference, the era that puts the result
    // nearest to it is chosen. The NTP value 0 stays invalid, so the one instant whose NTP form
    // is all zeros (2036-02-07T06:28:16Z exactly) does not survive the trip.
    static Stamp from_ntp(uint64_t ntp);
    static Stamp from_ntp(uint64_t ntp, Stamp reference);

    // Fields out of range count on linearly (minute 90 is the next hour's minute 30), except
    // that a month outside 1-12 gives the invalid stamp.
    static Stamp from_utc(const BrokenDownTime& utc);

    // ISO 8601: "YYYY-MM-DDTHH:MM:SS[.fff][Z]"; the '-' and ':' separators are each optional and
    // a space may stand for the 'T' ("20080304T130507" is 2008-03-04T13:05:07Z). 'Z' is the only
    // zone accepted. Lenient also accepts a date alone, a date with "T" and nothing after it, and
    // a time without seconds. Anything malformed, a field out of range (month 13, February 30,
    // hour 24, minute 60, seconds 61) or a year before 1900 gives the invalid stamp.
    static Stamp parse(std::string_view text, bool lenient = false);

    constexpr bool valid() const { return seconds_ != 0 || fraction_ != 0; }
    constexpr uint64_t seconds() const { return seconds_; }  // since 1900
    constexpr uint32_t fraction() const { return fraction_; }

    // Unix time, rounded down to whole seconds.
    int64_t unix_seconds() const { return static_cast<int64_t>(seconds_) - unix_epoch; }
    time_t to_time_t() const { return static_cast<time_t>(unix_seconds()); }
    // Sub-second parts are rounded down.
    timeval to_timeval() const;
    timespec to_timespec() const;
    // Low 32 bits of the seconds, then the fraction.
    constexpr uint64_t to_ntp() const { return (seconds_ & 0xFFFFFFFFu) << 32 | fraction_; }

    // "2008-03-04T13:05:07Z"; fractions follow the seconds without trailing zeros, rounded to
    // the nanosecond ("07.25"). The invalid stamp gives "".
    std::string iso() const;

    // strftime of the UTC time with "%x %H:%M", "%X" and "%x" in the current C locale.
    std::string locale_date_time() const;
    std::string locale_time() const;
    std::string locale_date() const;

    BrokenDownTime utc() const;
    std::tm utc_tm() const;
    // Through localtime_r; falls back to UTC where the C library cannot convert the instant.
    std::tm local_tm() const;

    // 1 Monday ... 7 Sunday.
    int weekday() const { return static_cast<int>(seconds_ / 86400 % 7) + 1; }

    Stamp& operator+=(Duration duration);
    Stamp& operator-=(Duration duration) { return *this += -duration; }
    friend Stamp operator+(Stamp stamp, Duration duration) { return stamp += duration; }
    friend Stamp operator-(Stamp stamp, Duration duration) { return stamp -= duration; }
    friend Duration operator-(Stamp a, Stamp b);

    friend constexpr auto operator<=>(const Stamp&, const Stamp&) = default;
    friend constexpr bool operator==(const Stamp&, const Stamp&) = default;

  private:
    constexpr Stamp(uint64_t seconds, uint32_t fraction) : seconds_(seconds), fraction_(fraction) {}

    uint64_t seconds_ = 0;  // order matters: the defaulted comparisons go field by field
    uint32_t fraction_ = 0;
};

// Writes iso().
std::ostream& operator<<(std::ostream& out, const Stamp& stamp);

}  // namespace Gantry::Time
