// Time::Duration: a length of time in seconds, read from configuration and request text.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>

namespace Gantry::Time {

// A value type holding a double number of seconds (fractional; negative only if constructed so).
//
// Text grammar, as used for every interval in the configuration file: numbers (optional sign and
// decimal point) separated by optional whitespace, each followed by
//   - nothing (the text ends): the number counts as seconds;
//   - a unit word from units() ("10 seconds", "1.5 hours", "250 ms"); parsing continues after it;
//   - a colon: colon forms "MM:SS", "HH:MM:SS" and "D:HH:MM:SS" ("01:30" is 90 s);
//   - any other word: the number counts as seconds and parsing stops ("5 fortnights" is 5 s).
// Text without a leading number is 0. Unit words are case-sensitive; there are no months or years.
class Duration {
  public:
    // The unit dictionary: seconds per unit word, and units per second for "ns", "us" and "ms".
    struct Units {
        std::map<std::string, int64_t, std::less<>> multipliers;
        std::map<std::string, int64_t, std::less<>> divisors;
    };
    // Built on first use, so parsing works from static initialisers of any translation unit.
    static const Units& units();

    constexpr Duration() = default;
    // Any arithmetic type, so that Duration(0) is not taken for a null text.
    template <typename Number>
    requires std::is_arithmetic_v<Number>
    constexpr explicit Duration(Number seconds) : seconds_(static_cast<double>(seconds)) {}
    explicit Duration(std::string_view text);
    explicit Duration(const char* text)
        : Duration(text ? std::string_view(text) : std::string_view()) {}

    constexpr double seconds() const { return seconds_; }

    // "HH:MM:SS[.fff]" after rounding to the nearest millisecond: 3725.5 s gives "01:02:05.5",
    // 59 s "00:00:59". Hours take more than two digits when needed; negative durations get a
    // leading '-'; infinities and NaN print as "inf", "-inf" and "nan".
    std::string hms() const;

    constexpr Duration operator-() const { return Duration(-seconds_); }
    constexpr Duration& operator+=(Duration other) {
        seconds_ += other.seconds_;
        return *this;
    }
    constexpr Duration& operator-=(Duration other) {
        seconds_ -= other.seconds_;
        return *this;
    }
    constexpr Duration& operator*=(double factor) {
        seconds_ *= factor;
        return *this;
    }
    constexpr Duration& operator/=(double divisor) {
        seconds_ /= divisor;
        return *this;
    }
    friend constexpr Duration operator+(Duration a, Duration b) { return a += b; }
    friend constexpr Duration operator-(Duration a, Duration b) { return a -= b; }
    friend constexpr Duration operator*(Duration a, double factor) { return a *= factor; }
    friend constexpr Duration operator*(double factor, Duration a) { return a *= factor; }
    friend constexpr Duration operator/(Duration a, double divisor) { return a /= divisor; }
    friend constexpr double operator/(Duration a, Duration b) { return a.seconds_ / b.seconds_; }

    friend constexpr std::partial_ordering operator<=>(Duration a, Duration b) {
        return a.seconds_ <=> b.seconds_;
    }
    friend constexpr bool operator==(Duration a, Duration b) { return a.seconds_ == b.seconds_; }

  private:
    double seconds_ = 0;
};

}  // namespace Gantry::Time
