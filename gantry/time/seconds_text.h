// The seconds field shared by Duration::hms and Stamp::iso.
#pragma once

#include <cstdint>
#include <string>

namespace Gantry::Time {

// Appends whole seconds zero-padded to two digits and, when nanos is not 0, a '.' and the fraction
// without trailing zeros: 7 s and 250000000 ns give "07.25". Fixed notation throughout, so tiny
// fractions never turn into exponent forms such as "1e-09". nanos must be below 1000000000.
void append_seconds(std::string& out, uint64_t whole, uint32_t nanos);

}  // namespace Gantry::Time
