#include "gantry/time/stamp.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <ostream>

#include "gantry/time/seconds_text.h"

namespace Gantry::Time {

namespace {

constexpr uint64_t two_32 = uint64_t{1} << 32;
constexpr int64_t seconds_per_day = 86400;
// 1900-01-01 in days since 1970.
constexpr int64_t days_1900 = -25567;

// Smallest fraction f with f / 2^32 >= part / scale (part < scale <= 10^9): converting back by
// rounding down then gives part again.
uint32_t fraction_from(uint64_t part, uint64_t scale) {
    return static_cast<uint32_t>(((part << 32) + scale - 1) / scale);
}

uint64_t fraction_to(uint32_t fraction, uint64_t scale) {
    return (static_cast<uint64_t>(fraction) * scale) >> 32;
}

// Nanoseconds nearest to the fraction; 1000000000 when it rounds up to the next second.
uint32_t nanos_rounded(uint32_t fraction) {
    return static_cast<uint32_t>((static_cast<uint64_t>(fraction) * 1000000000 + two_32 / 2) >> 32);
}

// Seconds since 1900 as a signed count, or an out-of-range marker that from_signed() turns into
// the invalid stamp (below 0) or saturates (above the maximum).
Stamp from_signed(int64_t seconds, uint32_t fraction) {
    if (seconds < 0) return Stamp();
    return Stamp::from_seconds(static_cast<uint64_t>(seconds), fraction);
}

bool digit(char c) {
    return c >= '0' && c <= '9';
}

// Exactly `width` digits at pos.
bool read_field(std::string_view text, size_t& pos, int width, int& value) {
    if (text.size() - pos < static_cast<size_t>(width)) return false;
    int v = 0;
    for (int i = 0; i < width; i++) {
        const char c = text[pos + i];
        if (!digit(c)) return false;
        v = v * 10 + (c - '0');
    }
    value = v;
    pos += width;
    return true;
}

void skip_optional(std::string_view text, size_t& pos, char c) {
    if (pos < text.size() && text[pos] == c) pos++;
}

// The seconds field: digits with at most one '.', at least one digit. Whole seconds of 61 and
// more are refused here already, so long runs of digits cannot overflow.
bool read_seconds(std::string_view text, uint64_t& whole, uint32_t& fraction) {
    size_t point = text.find('.');
    const std::string_view integral = text.substr(0, point);
    const std::string_view decimals =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (integral.empty() && decimals.empty()) return false;
    uint64_t w = 0;
    for (char c : integral) {
        if (!digit(c)) return false;
        w = w * 10 + static_cast<uint64_t>(c - '0');
        if (w > 60) return false;
    }
    for (char c : decimals) {
        if (!digit(c)) return false;
    }
    uint64_t f = 0;
    if (!decimals.empty()) {
        // Digits beyond 2^-32 s cannot change the result; a double carries the first 17.
        std::string text_fraction = "0.";
        text_fraction.append(decimals.substr(0, 30));
        const double value = std::strtod(text_fraction.c_str(), nullptr);
        f = static_cast<uint64_t>(std::llround(value * static_cast<double>(two_32)));
        if (f >= two_32) {
            f -= two_32;
            w++;
        }
    }
    whole = w;
    fraction = static_cast<uint32_t>(f);
    return true;
}

}  // namespace

Stamp Stamp::now() {
    timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return from_timespec(ts);
}

Stamp Stamp::from_unix(int64_t seconds, uint32_t fraction) {
    if (seconds < -unix_epoch) return Stamp();
    if (seconds > static_cast<int64_t>(max_seconds) - unix_epoch)
        return from_seconds(max_seconds, fraction);
    return from_signed(seconds + unix_epoch, fraction);
}

Stamp Stamp::from_timeval(const timeval& tv) {
    int64_t seconds = tv.tv_sec;
    int64_t micros = tv.tv_usec;
    // Normalise the odd negative or oversized microseconds some callers produce.
    seconds += micros / 1000000;
    micros %= 1000000;
    if (micros < 0) {
        micros += 1000000;
        seconds--;
    }
    return from_unix(seconds, fraction_from(static_cast<uint64_t>(micros), 1000000));
}

Stamp Stamp::from_timespec(const timespec& ts) {
    int64_t seconds = ts.tv_sec;
    int64_t nanos = ts.tv_nsec;
    seconds += nanos / 1000000000;
    nanos %= 1000000000;
    if (nanos < 0) {
        nanos += 1000000000;
        seconds--;
    }
    return from_unix(seconds, fraction_from(static_cast<uint64_t>(nanos), 1000000000));
}

timeval Stamp::to_timeval() const {
    timeval tv;
    tv.tv_sec = to_time_t();
    tv.tv_usec = static_cast<suseconds_t>(fraction_to(fraction_, 1000000));
    return tv;
}

timespec Stamp::to_timespec() const {
    timespec ts;
    ts.tv_sec = to_time_t();
    ts.tv_nsec = static_cast<long>(fraction_to(fraction_, 1000000000));
    return ts;
}

Stamp Stamp::from_ntp(uint64_t ntp) {
    if (ntp == 0) return Stamp();
    uint64_t seconds = ntp >> 32;
    if ((seconds & 0x80000000u) == 0) seconds += two_32;
    return Stamp(seconds, static_cast<uint32_t>(ntp));
}

Stamp Stamp::from_ntp(uint64_t ntp, Stamp reference) {
    if (ntp == 0) return Stamp();
    if (!reference.valid()) return from_ntp(ntp);
    const uint64_t low = ntp >> 32;
    // Candidates in the reference's era and the ones either side; the nearest wins.
    const uint64_t era = reference.seconds_ >> 32;
    Stamp best;
    double best_distance = std::numeric_limits<double>::infinity();
    for (uint64_t e = era == 0 ? 0 : era - 1; e <= era + 1; e++) {
        const uint64_t seconds = e << 32 | low;
        if (seconds > max_seconds) break;
        const Stamp candidate(seconds, static_cast<uint32_t>(ntp));
        const double distance = std::fabs((candidate - reference).seconds());
        if (distance < best_distance) {
            best_distance = distance;
            best = candidate;
        }
    }
    return best;
}

Stamp Stamp::from_utc(const BrokenDownTime& utc) {
    if (utc.month < 1 || utc.month > 12 || !std::isfinite(utc.seconds)) return Stamp();
    const int64_t days = days_from_civil(utc.year, utc.month, utc.day) - days_1900;
    const double whole_seconds = std::floor(utc.seconds);
    if (std::fabs(whole_seconds) > 1e15) return Stamp();
    auto whole = static_cast<int64_t>(whole_seconds);
    auto f = static_cast<uint64_t>(
        std::llround((utc.seconds - whole_seconds) * static_cast<double>(two_32)));
    if (f >= two_32) {
        f -= two_32;
        whole++;
    }
    const int64_t seconds =
        days * seconds_per_day + int64_t{utc.hour} * 3600 + int64_t{utc.minute} * 60 + whole;
    return from_signed(seconds, static_cast<uint32_t>(f));
}

Stamp Stamp::parse(std::string_view text, bool lenient) {
    int year, month = 1, day = 1, hour = 0, minute = 0;
    uint64_t second = 0;
    uint32_t fraction = 0;
    size_t pos = 0;
    if (!read_field(text, pos, 4, year)) return Stamp();
    skip_optional(text, pos, '-');
    if (!read_field(text, pos, 2, month)) return Stamp();
    skip_optional(text, pos, '-');
    if (!read_field(text, pos, 2, day)) return Stamp();
    bool complete = false;
    if (pos == text.size()) {
        if (!lenient) return Stamp();
        complete = true;
    } else if (text[pos] != 'T' && text[pos] != ' ') {
        return Stamp();
    } else {
        pos++;
        if (pos == text.size()) {
            if (!lenient) return Stamp();
            complete = true;
        }
    }
    if (!complete) {
        if (!read_field(text, pos, 2, hour)) return Stamp();
        skip_optional(text, pos, ':');
        if (!read_field(text, pos, 2, minute)) return Stamp();
        skip_optional(text, pos, ':');
        std::string_view rest = text.substr(pos);
        if (!rest.empty() && rest.back() == 'Z') rest.remove_suffix(1);
        if (rest.empty()) {
            if (!lenient) return Stamp();
        } else if (!read_seconds(rest, second, fraction)) {
            return Stamp();
        }
    }
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
        minute > 59)
        return Stamp();
    const int64_t days = days_from_civil(year, month, day) - days_1900;
    return from_signed(
        days * seconds_per_day + hour * 3600 + minute * 60 + static_cast<int64_t>(second),
        fraction);
}

std::string Stamp::iso() const {
    if (!valid()) return "";
    uint64_t seconds = seconds_;
    uint32_t nanos = nanos_rounded(fraction_);
    if (nanos == 1000000000) {
        // The last instant of the range must not print as a year 10000.
        if (seconds == max_seconds) {
            nanos = 999999999;
        } else {
            nanos = 0;
            seconds++;
        }
    }
    const auto days = static_cast<int64_t>(seconds / seconds_per_day) + days_1900;
    const auto of_day = static_cast<int>(seconds % seconds_per_day);
    int64_t year;
    int month, day;
    civil_from_days(days, year, month, day);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04" PRId64 "-%02d-%02dT%02d:%02d:", year, month, day,
                  of_day / 3600, of_day / 60 % 60);
    std::string out = buffer;
    append_seconds(out, static_cast<uint64_t>(of_day % 60), nanos);
    out += 'Z';
    return out;
}

BrokenDownTime Stamp::utc() const {
    const auto days = static_cast<int64_t>(seconds_ / seconds_per_day) + days_1900;
    const auto of_day = static_cast<int>(seconds_ % seconds_per_day);
    int64_t year;
    BrokenDownTime out;
    civil_from_days(days, year, out.month, out.day);
    out.year = static_cast<int>(year);
    out.hour = of_day / 3600;
    out.minute = of_day / 60 % 60;
    out.seconds = of_day % 60 + static_cast<double>(fraction_) / static_cast<double>(two_32);
    return out;
}

std::tm Stamp::utc_tm() const {
    return make_tm(static_cast<int64_t>(seconds_ / seconds_per_day) + days_1900,
                   static_cast<int>(seconds_ % seconds_per_day));
}

std::tm Stamp::local_tm() const {
    const int64_t unix = unix_seconds();
    const auto t = static_cast<time_t>(unix);
    std::tm tm{};
    // A narrow time_t cannot hold every stamp; such instants are shown in UTC.
    if (static_cast<int64_t>(t) != unix || ::localtime_r(&t, &tm) == nullptr) return utc_tm();
    return tm;
}

namespace {

std::string format_utc(const Stamp& stamp, const char* format) {
    const std::tm tm = stamp.utc_tm();
    char buffer[40];
    const size_t n = std::strftime(buffer, sizeof buffer, format, &tm);
    return std::string(buffer, n);
}

}  // namespace

std::string Stamp::locale_date_time() const {
    return format_utc(*this, "%x %H:%M");
}
std::string Stamp::locale_time() const {
    return format_utc(*this, "%X");
}
std::string Stamp::locale_date() const {
    return format_utc(*this, "%x");
}

Stamp& Stamp::operator+=(Duration duration) {
    const double d = duration.seconds();
    if (std::isnan(d)) return *this = Stamp();
    const double whole_seconds = std::floor(d);
    // Beyond the whole range either way: saturate.
    if (whole_seconds > 1e15) return *this = Stamp(max_seconds, UINT32_MAX);
    if (whole_seconds < -1e15) return *this = Stamp();
    auto whole = static_cast<int64_t>(whole_seconds);
    auto f = static_cast<uint64_t>(std::llround((d - whole_seconds) * static_cast<double>(two_32)));
    f += fraction_;
    whole += static_cast<int64_t>(f >> 32);
    const int64_t seconds = static_cast<int64_t>(seconds_) + whole;
    if (seconds > static_cast<int64_t>(max_seconds)) return *this = Stamp(max_seconds, UINT32_MAX);
    return *this = from_signed(seconds, static_cast<uint32_t>(f));
}

Duration operator-(Stamp a, Stamp b) {
    const double seconds = a.seconds_ >= b.seconds_ ? static_cast<double>(a.seconds_ - b.seconds_)
                                                    : -static_cast<double>(b.seconds_ - a.seconds_);
    const double fraction = (static_cast<double>(a.fraction_) - static_cast<double>(b.fraction_)) /
                            static_cast<double>(two_32);
    return Duration(seconds + fraction);
}

std::ostream& operator<<(std::ostream& out, const Stamp& stamp) {
    return out << stamp.iso();
}

}  // namespace Gantry::Time
