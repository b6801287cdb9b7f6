#include "index2/log.h"

#include <iostream>

namespace Corvid::Index2::detail {

void log_line(int level, const std::string& line) {
    if (level <= 2) std::clog << line << '\n';
}

}  // namespace Corvid::Index2::detail
