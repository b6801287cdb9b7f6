// Log::Message: one completed log line.
#pragma once

#include <string>
#include <utility>

#include "gantry/time/stamp.h"

namespace Gantry::Log {

// Lower is more important; the configured level is the highest one written.
inline constexpr int error_level = 1;
inline constexpr int summary_level = 2;
inline constexpr int detail_level = 3;

struct Message {
    Message() = default;
    Message(int level, Time::Stamp timestamp, std::string text)
        : level(level), timestamp(timestamp), text(std::move(text)) {}

    int level = 0;
    Time::Stamp timestamp;  // when the line was completed
    std::string text;       // without its newline
};

}  // namespace Gantry::Log
