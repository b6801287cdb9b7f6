// Time fields of DVB SI: the 40-bit start time (MJD date and BCD time, UTC) and the 24-bit BCD
// duration.
#pragma once

#include <cstdint>

#include "gantry/time/duration.h"
#include "gantry/time/stamp.h"

namespace Corvid::Capture {

// Five bytes: the big-endian Modified Julian Date, then hours, minutes and seconds in BCD.
// Gives the invalid (zero) stamp for a field that is not a time, such as the all-ones "undefined"
// value: a BCD digit above 9, an hour above 23, a minute or second above 59, or a date before
// 1900.
Gantry::Time::Stamp decode_mjd_time(const uint8_t* bytes);

// Three BCD bytes: hours, minutes, seconds (0x01 0x45 0x30 is 1 h 45 min 30 s). Gives 0 for a
// field that is not BCD, such as the all-ones "undefined" value.
Gantry::Time::Duration decode_bcd_duration(const uint8_t* bytes);

}  // namespace Corvid::Capture
