// Rate limiting of repeated log lines. On a corrupt feed every damaged packet would log a line,
// and every capture thread would queue behind the log chain's locks to write it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "gantry/time/duration.h"
#include "gantry/time/stamp.h"

namespace Gantry::Log {

// Per key (the line's text): a burst of lines goes through, then one per interval; the lines held
// back in between are counted and reported by the next one let through.
//
// Not locked: one thread at a time. thread_limiter() gives each thread its own, so the threads of
// a capture, which each serve one source, are limited per source at no locking cost.
class RateLimiter {
  public:
    using Clock = std::function<Time::Stamp()>;
    // Distinct keys remembered; a new key beyond them takes the place of the one quiet longest.
    static constexpr size_t max_keys = 16;

    explicit RateLimiter(Clock clock = &Time::Stamp::now,
                         Time::Duration interval = Time::Duration(1.0), unsigned burst = 5);

    // Whether a line with this key may be written now. If so, suppressed receives the number of
    // lines of the key held back since the previous one let through.
    bool admit(std::string_view key, uint64_t& suppressed);

    void set_clock(Clock clock) { clock_ = std::move(clock); }

  private:
    struct Entry {
        std::string key;
        Time::Stamp refilled;  // when the last whole interval's token was added
        unsigned tokens = 0;
        uint64_t suppressed = 0;
    };

    Entry& entry(std::string_view key, Time::Stamp now);

    Clock clock_;
    double interval_;
    unsigned burst_;
    std::vector<Entry> entries_;
};

// The calling thread's limiter.
RateLimiter& thread_limiter();

// Writes text as an error line unless the calling thread's limiter holds it back. A line that
// follows held-back ones ends in " (N more suppressed)".
void limited_error(std::string_view text);

}  // namespace Gantry::Log
