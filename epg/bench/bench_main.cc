// main of the EPG benchmarks: they run under the daemon's default log chain, so that detail lines
// are dropped unformatted as in production (with no chain at all every line would be formatted).
#include <benchmark/benchmark.h>

#include <ostream>

#include "gantry/log/log.h"

namespace {

struct DaemonLog {
    DaemonLog() : sink(nullptr), channel(sink), level(channel, Gantry::Log::summary_level) {
        Gantry::Log::logger.connect(level);
    }
    ~DaemonLog() { Gantry::Log::logger.disconnect(level); }
    std::ostream sink;  // no buffer: writes go nowhere
    Gantry::Log::StreamChannel channel;
    Gantry::Log::LevelFilter level;
};

}  // namespace

int main(int argc, char** argv) {
    DaemonLog log;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
