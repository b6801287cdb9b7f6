#include "gantry/log/filters.h"

#include <ctime>

#include "gantry/text/text.h"

namespace Gantry::Log {

// The filters keep no mutable state, so they need no lock of their own: callers are serialised
// by the distributor, and the stream channel at the end locks its stream.

void LevelFilter::log(const Message& message) {
    if (message.level > level_) return;
    next_.log(message);
}

void PatternFilter::log(const Message& message) {
    if (Text::wildcard_match(pattern_, message.text, true)) next_.log(message);
}

TimestampFilter::TimestampFilter(Channel& next, std::string format)
    : Filter(next),
      format_(std::move(format)),
      has_level_(format_.find("%*L") != std::string::npos),
      has_seconds_(format_.find("%*S") != std::string::npos) {}

std::string TimestampFilter::prefix(int level, Time::Stamp timestamp) const {
    // Milliseconds rounded here, carrying into the second, so 59.9996 s shows as the next
    // minute's 00.000 rather than as 60.000.
    uint64_t seconds = timestamp.seconds();
    uint64_t millis =
        (static_cast<uint64_t>(timestamp.fraction()) * 1000 + (uint64_t{1} << 31)) >> 32;
    if (millis == 1000) {
        millis = 0;
        seconds++;
    }
    const Time::Stamp whole = Time::Stamp::from_seconds(seconds);
    const std::tm tm = whole.local_tm();

    std::string format = format_;
    if (has_level_) format = Text::substitute(format, "%*L", Text::to_decimal(level));
    if (has_seconds_) {
        // tm_sec rather than seconds % 60: zones with odd historical offsets shift the minute.
        const double in_minute = tm.tm_sec + static_cast<double>(millis) / 1000;
        format = Text::substitute(format, "%*S", Text::format_fixed(in_minute, 6, 3, true));
    }
    char buffer[80];
    const size_t n = std::strftime(buffer, sizeof buffer, format.c_str(), &tm);
    return std::string(buffer, n);
}

void TimestampFilter::log(const Message& message) {
    Message stamped(message.level, message.timestamp, prefix(message.level, message.timestamp));
    stamped.text += message.text;
    next_.log(stamped);
}

}  // namespace Gantry::Log
