// Arbitrary text into the duration and time stamp parsers. Besides not crashing, every valid
// stamp must print as text that parses back to the same instant (to the nanosecond the text
// keeps), and strict parsing must never accept what lenient parsing refuses.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "gantry/time/time.h"

using Gantry::Time::Duration;
using Gantry::Time::Stamp;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const Duration duration(text);
    const std::string hms = duration.hms();
    check(!hms.empty());
    // The grammar applies a sign to its own field only, so only non-negative text reads back.
    if (std::isfinite(duration.seconds()) && duration.seconds() >= 0 && duration.seconds() < 1e12) {
        // hms keeps milliseconds; allow for the rounding of large doubles as well.
        const double slack = 0.0005 + 1e-9 + duration.seconds() * 1e-14;
        check(std::fabs(Duration(hms).seconds() - duration.seconds()) <= slack);
    }

    const Stamp strict = Stamp::parse(text, false);
    const Stamp lenient = Stamp::parse(text, true);
    if (strict.valid()) check(lenient == strict);
    if (lenient.valid()) {
        check(lenient.seconds() <= Stamp::max_seconds);
        const std::string iso = lenient.iso();
        const Stamp back(iso);
        check(back.valid() || iso == "1900-01-01T00:00:00Z");
        check(std::fabs((back - lenient).seconds()) < 1e-9);
        check(back.iso() == iso);
        (void)lenient.locale_date_time();
        (void)lenient.weekday();
    }
    return 0;
}
