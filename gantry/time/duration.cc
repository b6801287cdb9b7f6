#include "gantry/time/duration.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "gantry/time/seconds_text.h"

namespace Gantry::Time {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

void skip_blanks(std::string_view text, size_t& pos) {
    while (pos < text.size() && is_blank(text[pos]))
        pos++;
}

// An optional sign, digits and at most one decimal point, with at least one digit. A number too
// large for a double is no number, as for a stream extraction.
bool read_number(std::string_view text, size_t& pos, double& number) {
    size_t end = pos;
    if (end < text.size() && (text[end] == '+' || text[end] == '-')) end++;
    bool digits = false, point = false;
    for (; end < text.size(); end++) {
        if (is_digit(text[end])) {
            digits = true;
        } else if (text[end] == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!digits) return false;
    // strtod needs a terminated copy; the view need not be terminated.
    const std::string token(text.substr(pos, end - pos));
    const double value = std::strtod(token.c_str(), nullptr);
    if (!std::isfinite(value)) return false;
    number = value;
    pos = end;
    return true;
}

double parse(std::string_view text) {
    const Duration::Units& units = Duration::units();
    double result = 0;
    int colons = 0;
    size_t pos = 0;
    for (;;) {
        skip_blanks(text, pos);
        double number;
        if (!read_number(text, pos, number)) break;
        skip_blanks(text, pos);
        if (pos == text.size()) {
            result += number;
            break;
        }
        if (text[pos] == ':') {
            pos++;
            result += number;
            colons++;
            if (colons <= 2) {
                result *= 60;
            } else if (colons == 3) {
                // What was read as hours:minutes:seconds becomes days:hours:minutes.
                const double hours = std::trunc(result / 3600);
                result = hours * 86400 + (result - hours * 3600) * 60;
            } else {
                break;
            }
            continue;
        }
        const size_t start = pos;
        while (pos < text.size() && !is_blank(text[pos]))
            pos++;
        const std::string_view word = text.substr(start, pos - start);
        if (auto m = units.multipliers.find(word); m != units.multipliers.end()) {
            result += number * static_cast<double>(m->second);
        } else if (auto d = units.divisors.find(word); d != units.divisors.end()) {
            result += number / static_cast<double>(d->second);
        } else {
            result += number;
            break;
        }
    }
    return result;
}

}  // namespace

const Duration::Units& Duration::units() {
    static const Units dictionary = [] {
        Units u;
        for (const char* word : {"s", "sec", "secs", "second", "seconds"})
            u.multipliers[word] = 1;
        for (const char* word : {"m", "min", "mins", "minute", "minutes"})
            u.multipliers[word] = 60;
        for (const char* word : {"h", "hour", "hours"})
            u.multipliers[word] = 3600;
        for (const char* word : {"d", "day", "days"})
            u.multipliers[word] = 86400;
        for (const char* word : {"w", "week", "weeks"})
            u.multipliers[word] = 604800;
        u.divisors["ns"] = 1000000000;
        u.divisors["us"] = 1000000;
        u.divisors["ms"] = 1000;
        return u;
    }();
    return dictionary;
}

Duration::Duration(std::string_view text) : seconds_(parse(text)) {}

std::string Duration::hms() const {
    if (std::isnan(seconds_)) return "nan";
    if (std::isinf(seconds_)) return seconds_ < 0 ? "-inf" : "inf";
    std::string out;
    if (seconds_ < 0) out += '-';
    const double magnitude = std::fabs(seconds_);
    char buffer[400];
    if (magnitude < 9e15) {
        // Whole milliseconds keep the fields exact: no 5.1229999 from double remainders.
        const auto ms = static_cast<uint64_t>(std::llround(magnitude * 1000));
        std::snprintf(buffer, sizeof buffer, "%02" PRIu64 ":%02" PRIu64 ":", ms / 3600000,
                      ms / 60000 % 60);
        out += buffer;
        append_seconds(out, ms / 1000 % 60, static_cast<uint32_t>(ms % 1000) * 1000000);
        return out;
    }
    // Beyond 2^53 ms a double has no fraction left to show; only the fields are meaningful.
    const double hours = std::floor(magnitude / 3600);
    const double rest = std::fmod(magnitude, 3600);
    std::snprintf(buffer, sizeof buffer, "%02.0f:%02d:", hours, static_cast<int>(rest / 60));
    out += buffer;
    append_seconds(out, static_cast<uint64_t>(std::fmod(rest, 60)), 0);
    return out;
}

}  // namespace Gantry::Time
