// The process logger from static initialisers and destructors of another translation unit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "gantry/log/log.h"
#include "tests/support/log_capture.h"

namespace Gantry::Log {
namespace {

Corvid::Testing::RecordingChannel startup_channel;

// Runs during static initialisation, in whatever order relative to the library's own objects.
const bool logged_at_startup = [] {
    logger.connect(startup_channel);
    Summary() << "from a static initialiser" << std::endl;
    logger.disconnect(startup_channel);
    return true;
}();

// Logs after main has returned, through a channel connected for good (so the logger's list lives
// on the heap): had the logger been destroyed by then, AddressSanitizer would report its use.
struct LogsAtExit {
    LogsAtExit() { logger.connect(*new Corvid::Testing::RecordingChannel); }
    ~LogsAtExit() { Error() << "from a static destructor" << std::endl; }
} logs_at_exit;

TEST(StaticLogging, LoggerWorksDuringStaticInitialisation) {
    EXPECT_TRUE(logged_at_startup);
    EXPECT_THAT(startup_channel.texts(), ::testing::ElementsAre("from a static initialiser"));
}

}  // namespace
}  // namespace Gantry::Log
