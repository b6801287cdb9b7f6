// The filters of the log chain: by level, by text pattern, and the time stamp prefix.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "gantry/log/channel.h"

namespace Gantry::Log {

// Passes messages whose level is at most `level` (1 errors, 2 summaries, 3 details).
class LevelFilter : public Filter {
  public:
    LevelFilter(Channel& next, int level) : Filter(next), level_(level) {}

    void log(const Message& message) override;
    bool accepts(int level) const override { return level <= level_ && next_.accepts(level); }

    int level() const { return level_; }

  private:
    const int level_;
};

// Passes messages whose whole text matches a shell-style pattern ('*', '?', '[a-z]'),
// case-sensitively.
class PatternFilter : public Filter {
  public:
    PatternFilter(Channel& next, std::string pattern)
        : Filter(next), pattern_(std::move(pattern)) {}

    void log(const Message& message) override;

  private:
    const std::string pattern_;
};

// Prefixes each message with its time stamp in local time. The format is strftime's, with two
// additions replaced first: "%*L" by the message level and "%*S" by the seconds within the minute
// with milliseconds ("07.250"). A literal '%' is written "%%". The prefix is at most 79 bytes; a
// format that expands to more gives no prefix at all. The daemon's format is default_format.
//
// The local time conversion and strftime run once per second and level; later messages of that
// second only fill in their milliseconds.
class TimestampFilter : public Filter {
  public:
    static constexpr const char* default_format = "%a %d %b %H:%M:%*S [%*L]: ";

    TimestampFilter(Channel& next, std::string format = default_format);

    void log(const Message& message) override;

    // The prefix this filter puts before a message of that level and time.
    std::string prefix(int level, Time::Stamp timestamp) const;

  private:
    // The format expanded for one second and level, "%*S" left as a marker character.
    struct Expanded {
        bool valid = false;
        uint64_t seconds = 0;
        int tm_sec = 0;
        std::string text;
    };

    std::string prefix_uncached(int level, uint64_t seconds, uint64_t millis) const;

    const std::string format_;
    const bool has_level_;
    const bool has_seconds_;
    const bool cacheable_;
    static constexpr int cached_levels = 4;  // 0-3
    mutable std::array<Expanded, cached_levels> cache_ GANTRY_GUARDED_BY(mutex_);
};

}  // namespace Gantry::Log
