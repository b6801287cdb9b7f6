// Throughput of the daemon's log chain (level filter, time stamp filter, stream channel to a
// file) from several threads, against stdio writing the same lines; and the cost of a detail
// line when details are switched off, against an empty loop and an integer increment.
//
// Compare rows of one run only: the figures depend on the disk and the kernel's write path.
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "gantry/log/log.h"
#include "tests/support/test_support.h"

namespace {

using namespace Gantry;

Corvid::Testing::TempDir& scratch() {
    static Corvid::Testing::TempDir dir;
    return dir;
}

// The daemon's chain, connected to the process logger while a benchmark runs.
struct DaemonChain {
    explicit DaemonChain(const std::string& path)
        : file(path, std::ios::trunc), output(file), stamp(output), level(stamp, 2) {}

    std::ofstream file;
    Log::StreamChannel output;
    Log::TimestampFilter stamp;
    Log::LevelFilter level;
};

// Connected for the whole run (see main): level streams decide when they are created whether
// anything wants their level, so the chain must be in place before any benchmark thread starts.
std::unique_ptr<DaemonChain> chain;

// One long-lived stream per thread, as a capture thread keeps one.
void BM_ChainLines(benchmark::State& state) {
    Log::Summary log;
    int64_t i = 0;
    for (auto _ : state) {
        log << "capture 'bbc1' wrote segment " << i << " of " << 188 * i << " bytes" << std::endl;
        i++;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ChainLines)->Threads(1)->Threads(4)->UseRealTime();

// A fresh stream per line, the common `Log::Summary() << ...` form.
void BM_ChainLinesNewStream(benchmark::State& state) {
    int64_t i = 0;
    for (auto _ : state) {
        Log::Summary() << "capture 'bbc1' wrote segment " << i << " of " << 188 * i << " bytes"
                       << std::endl;
        i++;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ChainLinesNewStream)->Threads(1)->Threads(4)->UseRealTime();

FILE* stdio_file = nullptr;

// The same bytes per line with stdio: a time stamp prefix, the text, and (as the log chain does)
// a flush per line. `flush` = 0 leaves buffering to stdio, the cheapest way to write lines.
void BM_FprintfLines(benchmark::State& state) {
    const bool flush = state.range(0) != 0;
    if (state.thread_index() == 0)
        stdio_file = std::fopen(scratch().file("stdio.log").c_str(), "w");
    int64_t i = 0;
    for (auto _ : state) {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        std::tm tm;
        localtime_r(&now.tv_sec, &tm);
        char prefix[80];
        std::strftime(prefix, sizeof prefix, "%a %d %b %H:%M:", &tm);
        std::fprintf(stdio_file, "%s%06.3f [2]: capture 'bbc1' wrote segment %lld of %lld bytes\n",
                     prefix, tm.tm_sec + now.tv_nsec / 1e9, static_cast<long long>(i),
                     static_cast<long long>(188 * i));
        if (flush) std::fflush(stdio_file);
        i++;
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) std::fclose(stdio_file);
}
BENCHMARK(BM_FprintfLines)->Arg(1)->Arg(0)->Threads(1)->Threads(4)->UseRealTime();

// --- Dropped detail lines (configured level 2) -----------------------------------------------

void BM_DroppedDetailNewStream(benchmark::State& state) {
    int64_t i = 0;
    for (auto _ : state) {
        Log::Detail() << "packet " << i << " on pid " << 0x1FF << std::endl;
        i++;
    }
}
BENCHMARK(BM_DroppedDetailNewStream);

void BM_DroppedDetailLongLivedStream(benchmark::State& state) {
    Log::Detail log;
    int64_t i = 0;
    for (auto _ : state) {
        log << "packet " << i << " on pid " << 0x1FF << std::endl;
        i++;
    }
}
BENCHMARK(BM_DroppedDetailLongLivedStream);

void BM_DroppedDetailEnabledCheck(benchmark::State& state) {
    int64_t i = 0;
    for (auto _ : state) {
        if (Log::enabled(Log::detail_level)) Log::Detail() << "packet " << i << std::endl;
        benchmark::DoNotOptimize(i++);
    }
}
BENCHMARK(BM_DroppedDetailEnabledCheck);

// What a dropped line would cost if the stream did not know in advance: the line is formatted,
// stamped with the time and built into a message, then dropped by the level filter.
class AlwaysAccepts : public Log::Channel {
  public:
    explicit AlwaysAccepts(Log::Channel& next) : next_(next) {}
    void log(const Log::Message& message) override { next_.log(message); }

  private:
    Log::Channel& next_;
};

void BM_DroppedDetailWithoutEarlyCheck(benchmark::State& state) {
    AlwaysAccepts unknown(chain->level);
    Log::Detail log(unknown);
    int64_t i = 0;
    for (auto _ : state) {
        log << "packet " << i << " on pid " << 0x1FF << std::endl;
        i++;
    }
}
BENCHMARK(BM_DroppedDetailWithoutEarlyCheck);

void BM_EmptyLoop(benchmark::State& state) {
    for (auto _ : state) {
    }
}
BENCHMARK(BM_EmptyLoop);

void BM_IntegerIncrement(benchmark::State& state) {
    int64_t counter = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(++counter);
}
BENCHMARK(BM_IntegerIncrement);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    chain = std::make_unique<DaemonChain>(scratch().file("chain.log"));
    Log::logger.connect(chain->level);
    benchmark::RunSpecifiedBenchmarks();
    Log::logger.disconnect(chain->level);
    chain.reset();
    benchmark::Shutdown();
    return 0;
}
