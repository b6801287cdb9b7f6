// The one place where this module hands lines to the log.
#pragma once

#include <string>

namespace Corvid::Index2::detail {

// level: 1 error, 2 summary, 3 detail.
void log_line(int level, const std::string& line);

}  // namespace Corvid::Index2::detail
