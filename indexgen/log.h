// The one place where this module hands lines to the log.
#pragma once

#include <string>

namespace Corvid::IndexGen {

void log_error(const std::string& line);
void log_summary(const std::string& line);

}  // namespace Corvid::IndexGen
