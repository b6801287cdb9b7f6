// For tests that count repeated log lines: lets every line through the calling thread's rate
// limiter while it exists, with a clock an hour on at every look.
#pragma once

#include "gantry/log/rate_limit.h"

namespace Corvid::Testing {

struct LineLimitOff {
    LineLimitOff() {
        Gantry::Log::thread_limiter().set_clock([t = Gantry::Time::Stamp::now()]() mutable {
            return t += Gantry::Time::Duration(3600.0);
        });
    }
    ~LineLimitOff() { Gantry::Log::thread_limiter().set_clock(&Gantry::Time::Stamp::now); }
};

}  // namespace Corvid::Testing
