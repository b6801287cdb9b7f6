#include "gantry/time/seconds_text.h"

#include <cinttypes>
#include <cstdio>

namespace Gantry::Time {

void append_seconds(std::string& out, uint64_t whole, uint32_t nanos) {
    char buffer[40];
    int n = std::snprintf(buffer, sizeof buffer, "%02" PRIu64, whole);
    if (nanos != 0) {
        n += std::snprintf(buffer + n, sizeof buffer - n, ".%09" PRIu32, nanos);
        while (buffer[n - 1] == '0')
            n--;
    }
    out.append(buffer, n);
}

}  // namespace Gantry::Time
