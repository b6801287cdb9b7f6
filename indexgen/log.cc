#include "indexgen/log.h"

#include "gantry/log/log.h"

namespace Corvid::IndexGen {

// Errors come per packet or per picture, so a damaged stream would repeat them at its packet
// rate: they are limited per capture thread.
void log_error(const std::string& line) {
    Gantry::Log::limited_error(line);
}

void log_summary(const std::string& line) {
    Gantry::Log::Summary() << line << '\n';
}

}  // namespace Corvid::IndexGen
