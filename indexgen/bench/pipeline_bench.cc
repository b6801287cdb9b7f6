// TSPipeline::feed over real captures held in memory, fed as 1316-byte datagrams: bare (a pipe
// that only counts packets) and with a video parser on the video PID, against memcpy of the same
// bytes in the same run. Bytes per second are of the whole stream.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "indexgen/indexgen.h"
#include "indexgen/bench/video_feeder.h"
#include "tests/support/test_support.h"

namespace {

using namespace Corvid::IndexGen;

constexpr size_t datagram = 1316;

struct Stream {
    const char* path;
    uint16_t video_pid;
};

const Stream mpeg2 = {"testdata/ts/video/tsduck-test-025.ts", 0x1000};
const Stream h264 = {"testdata/ts/video/tsduck-test-064.ts", 0x100};

const std::vector<uint8_t>& load(const Stream& stream) {
    static std::vector<uint8_t> files[2];
    std::vector<uint8_t>& file = files[&stream == &mpeg2 ? 0 : 1];
    if (file.empty()) {
        const std::string path = Corvid::Testing::shared_path(stream.path);
        if (!path.empty()) file = Corvid::Testing::read_file(path);
    }
    return file;
}

class CountingPipe final : public TSPipe {
  public:
    void process(const Corvid::MPEG::TSPacket&) override { ++packets; }
    uint64_t packets = 0;
};

void feed(TSPipeline& pipeline, const std::vector<uint8_t>& file) {
    for (size_t at = 0; at < file.size(); at += datagram)
        pipeline.feed(file.data() + at, std::min(datagram, file.size() - at));
}

void BM_Memcpy(benchmark::State& state, const Stream& stream) {
    const auto& file = load(stream);
    if (file.empty()) return state.SkipWithError("shared test data not found");
    std::vector<uint8_t> copy(file.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), file.data(), file.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
}

// memcpy datagram by datagram, as a receiver copying each datagram once would.
void BM_MemcpyDatagrams(benchmark::State& state, const Stream& stream) {
    const auto& file = load(stream);
    if (file.empty()) return state.SkipWithError("shared test data not found");
    std::vector<uint8_t> copy(file.size());
    for (auto _ : state) {
        for (size_t at = 0; at < file.size(); at += datagram)
            std::memcpy(copy.data() + at, file.data() + at, std::min(datagram, file.size() - at));
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
}

void BM_PipelineCounting(benchmark::State& state, const Stream& stream) {
    const auto& file = load(stream);
    if (file.empty()) return state.SkipWithError("shared test data not found");
    CountingPipe pipe;
    TSPipeline pipeline;
    pipeline.add_pipe(pipe);
    for (auto _ : state)
        feed(pipeline, file);
    benchmark::DoNotOptimize(pipe.packets);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
    state.counters["packets"] =
        static_cast<double>(pipe.packets) / static_cast<double>(state.iterations());
}

template <class P>
void BM_PipelineParser(benchmark::State& state, const Stream& stream) {
    const auto& file = load(stream);
    if (file.empty()) return state.SkipWithError("shared test data not found");
    P parser;
    uint64_t entries = 0;
    Testing::VideoFeeder feeder(stream.video_pid, parser, [&](const Testing::FedRecord& fed) {
        entries += fed.record.has_header_start;
    });
    TSPipeline pipeline;
    pipeline.add_pipe(feeder);
    for (auto _ : state)
        feed(pipeline, file);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.size()));
    state.counters["entries"] =
        static_cast<double>(entries) / static_cast<double>(state.iterations());
    state.counters["video_packets"] =
        static_cast<double>(feeder.records()) / static_cast<double>(state.iterations());
}

void BM_PipelineMPEG2Parser(benchmark::State& state, const Stream& stream) {
    BM_PipelineParser<MPEG2Parser>(state, stream);
}
void BM_PipelineH264Parser(benchmark::State& state, const Stream& stream) {
    BM_PipelineParser<H264Parser>(state, stream);
}

BENCHMARK_CAPTURE(BM_Memcpy, mpeg2_025, mpeg2);
BENCHMARK_CAPTURE(BM_MemcpyDatagrams, mpeg2_025, mpeg2);
BENCHMARK_CAPTURE(BM_PipelineCounting, mpeg2_025, mpeg2);
BENCHMARK_CAPTURE(BM_PipelineMPEG2Parser, mpeg2_025, mpeg2);
BENCHMARK_CAPTURE(BM_Memcpy, h264_064, h264);
BENCHMARK_CAPTURE(BM_MemcpyDatagrams, h264_064, h264);
BENCHMARK_CAPTURE(BM_PipelineCounting, h264_064, h264);
BENCHMARK_CAPTURE(BM_PipelineH264Parser, h264_064, h264);

}  // namespace

BENCHMARK_MAIN();
