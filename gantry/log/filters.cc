#include "gantry/log/filters.h"

#include <ctime>

#include "gantry/text/text.h"

namespace Gantry::Log {

// The level and pattern filters keep no mutable state, so they need no lock of their own; the
// time stamp filter locks only its cache. Delivery order is kept by the distributor, and the
// stream channel at the end locks its stream.

void LevelFilter::log(const Message& message) {
    if (message.level > level_) return;
    next_.log(message);
}

void PatternFilter::log(const Message& message) {
    if (Text::wildcard_match(pattern_, message.text, true)) next_.log(message);
}

namespace {

// strftime copies it through untouched; formats that contain it are not cached.
constexpr char seconds_marker = '\x1F';
constexpr size_t max_prefix = 79;

// Rounds to the millisecond, carrying into the second, so 59.9996 s shows as the next minute's
// 00.000 rather than as 60.000.
void split_millis(Time::Stamp timestamp, uint64_t& seconds, uint64_t& millis) {
    seconds = timestamp.seconds();
    millis = (static_cast<uint64_t>(timestamp.fraction()) * 1000 + (uint64_t{1} << 31)) >> 32;
    if (millis == 1000) {
        millis = 0;
        seconds++;
    }
}

std::tm local_tm(uint64_t seconds) {
    return Time::Stamp::from_seconds(seconds).local_tm();
}

}  // namespace

TimestampFilter::TimestampFilter(Channel& next, std::string format)
    : Filter(next),
      format_(std::move(format)),
      has_level_(format_.find("%*L") != std::string::npos),
      has_seconds_(format_.find("%*S") != std::string::npos),
      // "%%*S" is a literal '%' before "%*S", whose replacement strftime then reads as a
      // directive; keep such formats on the plain path so they behave exactly as without cache.
      cacheable_(format_.find(seconds_marker) == std::string::npos &&
                 format_.find("%%*") == std::string::npos) {}

std::string TimestampFilter::prefix_uncached(int level, uint64_t seconds, uint64_t millis) const {
    const std::tm tm = local_tm(seconds);
    std::string format = format_;
    if (has_level_) format = Text::substitute(format, "%*L", Text::to_decimal(level));
    if (has_seconds_) {
        // tm_sec rather than seconds % 60: zones with odd historical offsets shift the minute.
        const double in_minute = tm.tm_sec + static_cast<double>(millis) / 1000;
        format = Text::substitute(format, "%*S", Text::format_fixed(in_minute, 6, 3, true));
    }
    char buffer[max_prefix + 1];
    const size_t n = std::strftime(buffer, sizeof buffer, format.c_str(), &tm);
    return std::string(buffer, n);
}

std::string TimestampFilter::prefix(int level, Time::Stamp timestamp) const {
    uint64_t seconds, millis;
    split_millis(timestamp, seconds, millis);
    if (!cacheable_ || level < 0 || level >= cached_levels)
        return prefix_uncached(level, seconds, millis);

    MT::Lock lock(mutex_);
    Expanded& expanded = cache_[static_cast<size_t>(level)];
    if (!expanded.valid || expanded.seconds != seconds) {
        const std::tm tm = local_tm(seconds);
        std::string format = format_;
        if (has_level_) format = Text::substitute(format, "%*L", Text::to_decimal(level));
        if (has_seconds_) format = Text::substitute(format, "%*S", std::string(1, seconds_marker));
        // Room for the markers' expansion: the length limit applies to the final text.
        char buffer[4 * (max_prefix + 1)];
        const size_t n = std::strftime(buffer, sizeof buffer, format.c_str(), &tm);
        expanded.valid = true;
        expanded.seconds = seconds;
        expanded.tm_sec = tm.tm_sec;
        expanded.text.assign(buffer, n);
    }
    std::string out;
    out.reserve(expanded.text.size() + 16);
    const char in_minute[] = {static_cast<char>('0' + expanded.tm_sec / 10),
                              static_cast<char>('0' + expanded.tm_sec % 10),
                              '.',
                              static_cast<char>('0' + millis / 100),
                              static_cast<char>('0' + millis / 10 % 10),
                              static_cast<char>('0' + millis % 10)};
    for (char c : expanded.text) {
        if (c == seconds_marker) {
            out.append(in_minute, sizeof in_minute);
        } else {
            out += c;
        }
    }
    if (out.size() > max_prefix) out.clear();
    return out;
}

void TimestampFilter::log(const Message& message) {
    Message stamped(message.level, message.timestamp, prefix(message.level, message.timestamp));
    stamped.text += message.text;
    next_.log(stamped);
}

}  // namespace Gantry::Log
