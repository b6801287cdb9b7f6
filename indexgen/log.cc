#include "indexgen/log.h"

#include "gantry/log/log.h"

namespace Corvid::IndexGen {

void log_error(const std::string& line) {
    Gantry::Log::Error() << line << '\n';
}

void log_summary(const std::string& line) {
    Gantry::Log::Summary() << line << '\n';
}

}  // namespace Corvid::IndexGen
