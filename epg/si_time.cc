#include "epg/si_time.h"

namespace Corvid::Capture {

namespace Time = Gantry::Time;

namespace {

// The value of a BCD byte, or -1 if a nibble is not a decimal digit.
int bcd(uint8_t byte) {
    int high = byte >> 4, low = byte & 0xF;
    return high > 9 || low > 9 ? -1 : high * 10 + low;
}

}  // namespace

Time::Stamp decode_mjd_time(const uint8_t* bytes) {
    int mjd = bytes[0] << 8 | bytes[1];
    int hour = bcd(bytes[2]), minute = bcd(bytes[3]), second = bcd(bytes[4]);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) return {};
    // EN 300 468 annex C.
    int y = static_cast<int>((mjd - 15078.2) / 365.25);
    int m = static_cast<int>((mjd - 14956.1 - static_cast<int>(y * 365.25)) / 30.6001);
    int day = mjd - 14956 - static_cast<int>(y * 365.25) - static_cast<int>(m * 30.6001);
    int k = (m == 14 || m == 15) ? 1 : 0;
    Time::BrokenDownTime utc;
    utc.year = y + k + 1900;
    utc.month = m - 1 - 12 * k;
    utc.day = day;
    utc.hour = hour;
    utc.minute = minute;
    utc.seconds = second;
    if (utc.year < 1900 || utc.month < 1 || utc.month > 12 || day < 1 || day > 31) return {};
    return Time::Stamp::from_utc(utc);
}

Time::Duration decode_bcd_duration(const uint8_t* bytes) {
    int hours = bcd(bytes[0]), minutes = bcd(bytes[1]), seconds = bcd(bytes[2]);
    if (hours < 0 || minutes < 0 || seconds < 0) return Time::Duration();
    return Time::Duration(hours * 3600.0 + minutes * 60.0 + seconds);
}

}  // namespace Corvid::Capture
