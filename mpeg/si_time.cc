#include "mpeg/si_time.h"

namespace Corvid::MPEG {

namespace Time = Gantry::Time;

namespace {

// The MJD of 1900-01-01, where Time::Stamp counts from.
constexpr int64_t mjd_1900 = 15020;
constexpr int64_t mjd_wrap = 0x10000;
// Below this a 16-bit MJD is a date after the 2038 wrap.
constexpr int64_t mjd_extended_below = 0x8000;

// The value of a BCD byte, or -1 if a nibble is not a decimal digit.
int bcd(uint8_t byte) {
    int high = byte >> 4, low = byte & 0xF;
    return high > 9 || low > 9 ? -1 : high * 10 + low;
}

}  // namespace

Time::Stamp decode_mjd_time(const uint8_t* bytes) {
    int64_t mjd = bytes[0] << 8 | bytes[1];
    if (mjd < mjd_extended_below) mjd += mjd_wrap;
    const int hour = bcd(bytes[2]), minute = bcd(bytes[3]), second = bcd(bytes[4]);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) return {};
    // Whole days, so no calendar arithmetic: EN 300 468's conversion formula (annex C) only
    // holds from 1900-03-01 to 2100-02-28, which the extended range goes beyond.
    const int64_t seconds = (mjd - mjd_1900) * 86400 + hour * 3600 + minute * 60 + second;
    return Time::Stamp::from_seconds(static_cast<uint64_t>(seconds));
}

Time::Duration decode_bcd_duration(const uint8_t* bytes) {
    const int hours = bcd(bytes[0]), minutes = bcd(bytes[1]), seconds = bcd(bytes[2]);
    if (hours < 0 || minutes < 0 || seconds < 0) return Time::Duration();
    return Time::Duration(hours * 3600.0 + minutes * 60.0 + seconds);
}

}  // namespace Corvid::MPEG
