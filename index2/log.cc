#include "index2/log.h"

#include "gantry/log/stream.h"

namespace Corvid::Index2::detail {

void log_line(int level, const std::string& line) {
    namespace Log = Gantry::Log;
    switch (level) {
        case 1:
            Log::Error() << line << '\n';
            break;
        case 2:
            Log::Summary() << line << '\n';
            break;
        default:
            Log::Detail() << line << '\n';
            break;
    }
}

}  // namespace Corvid::Index2::detail
