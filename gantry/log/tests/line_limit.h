// While it exists, the calling thread's rate limiter starts afresh and lets every line through.
#pragma once

#include "gantry/log/rate_limit.h"

namespace Corvid::Testing {

struct LineLimitOff {
    LineLimitOff() {
        Gantry::Log::thread_limiter() =
            Gantry::Log::RateLimiter([t = Gantry::Time::Stamp::now()]() mutable {
                return t += Gantry::Time::Duration(3600.0);
            });
    }
    ~LineLimitOff() { Gantry::Log::thread_limiter() = Gantry::Log::RateLimiter(); }
};

}  // namespace Corvid::Testing
