// Time fields of DVB SI (EN 300 468): the 40-bit UTC start time (a 16-bit Modified Julian Date,
// then hours, minutes and seconds in BCD) and the 24-bit BCD duration.
//
// The 16-bit MJD ran out on 2038-04-22 (MJD 65535). Since the 2025 revision a value below 0x8000
// stands for value + 0x10000, so the field covers 1948-08-05 to 2128-01-09.
#pragma once

#include <cstdint>

#include "gantry/time/duration.h"
#include "gantry/time/stamp.h"

namespace Corvid::MPEG {

// The five bytes of a start time. Gives the invalid (zero) stamp for a field that is not a time,
// such as the all-ones "undefined" value: a BCD digit above 9, an hour above 23, a minute or second
// above 59. Pure and thread-safe.
Gantry::Time::Stamp decode_mjd_time(const uint8_t* bytes);

// Three BCD bytes: hours, minutes, seconds (0x01 0x45 0x30 is 1 h 45 min 30 s). Gives 0 for a
// field that is not BCD, such as the all-ones "undefined" value.
Gantry::Time::Duration decode_bcd_duration(const uint8_t* bytes);

}  // namespace Corvid::MPEG
