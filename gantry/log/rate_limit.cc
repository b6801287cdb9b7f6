#include "gantry/log/rate_limit.h"

#include <cmath>

#include "gantry/log/stream.h"

namespace Gantry::Log {

RateLimiter::RateLimiter(Clock clock, Time::Duration interval, unsigned burst)
    : clock_(std::move(clock)), interval_(interval.seconds()), burst_(burst) {}

RateLimiter::Entry& RateLimiter::entry(std::string_view key, Time::Stamp now) {
    for (Entry& e : entries_)
        if (e.key == key) return e;
    Entry fresh{std::string(key), now, burst_, 0};
    if (entries_.size() < max_keys) return entries_.emplace_back(std::move(fresh));
    Entry* quiet = &entries_[0];
    for (Entry& e : entries_)
        if (e.refilled < quiet->refilled) quiet = &e;
    return *quiet = std::move(fresh);
}

bool RateLimiter::admit(std::string_view key, uint64_t& suppressed) {
    const Time::Stamp now = clock_();
    Entry& e = entry(key, now);
    // A clock set back must not hold lines back until it has caught up again.
    if (now < e.refilled) e.refilled = now;
    const double intervals = std::floor((now - e.refilled).seconds() / interval_);
    if (intervals >= 1) {
        if (e.tokens + intervals >= burst_) {
            e.tokens = burst_;
            e.refilled = now;
        } else {
            e.tokens += static_cast<unsigned>(intervals);
            e.refilled += Time::Duration(intervals * interval_);
        }
    }
    if (e.tokens == 0) {
        e.suppressed++;
        return false;
    }
    e.tokens--;
    suppressed = e.suppressed;
    e.suppressed = 0;
    return true;
}

RateLimiter& thread_limiter() {
    thread_local RateLimiter limiter;
    return limiter;
}

void limited_error(std::string_view text) {
    uint64_t suppressed = 0;
    if (!thread_limiter().admit(text, suppressed)) return;
    Error log;
    log << text;
    if (suppressed > 0) log << " (" << suppressed << " more suppressed)";
    log << '\n';
}

}  // namespace Gantry::Log
