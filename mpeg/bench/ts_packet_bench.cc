// Packet parsing throughput over a real stream held in memory, against memcpy of the same bytes in
// the same run: the floor for the pipeline benchmarks built on TSPacket::read.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "gantry/channel/block.h"
#include "mpeg/mpeg.h"
#include "tests/support/test_support.h"

namespace MPEG = Corvid::MPEG;
namespace Channel = Gantry::Channel;

namespace {

const std::vector<uint8_t>& stream() {
    static const std::vector<uint8_t> data = [] {
        const std::string path =
            Corvid::Testing::shared_path("testdata/ts/video/tsduck-test-064.ts");
        return path.empty() ? std::vector<uint8_t>() : Corvid::Testing::read_file(path);
    }();
    return data;
}

bool have_stream(benchmark::State& state) {
    if (!stream().empty()) return true;
    state.SkipWithError("../shared/testdata/ts/video/tsduck-test-064.ts not found");
    return false;
}

void finish(benchmark::State& state, size_t packets) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream().size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * packets));
}

void BM_Memcpy(benchmark::State& state) {
    if (!have_stream(state)) return;
    const auto& data = stream();
    std::vector<uint8_t> copy(data.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), data.data(), data.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    finish(state, data.size() / MPEG::ts_packet_size);
}
BENCHMARK(BM_Memcpy);

// The hot path: inline BlockReader reads, one reused record, payload copied into its capacity.
void BM_TSPacketRead(benchmark::State& state) {
    if (!have_stream(state)) return;
    const auto& data = stream();
    MPEG::TSPacket packet;
    size_t packets = 0;
    for (auto _ : state) {
        Channel::BlockReader reader(data.data(), data.size());
        packets = 0;
        while (reader.remaining() >= MPEG::ts_packet_size) {
            packets += MPEG::TSPacket::read(reader, packet);
            benchmark::DoNotOptimize(packet.payload.data());
        }
    }
    finish(state, packets);
}
BENCHMARK(BM_TSPacketRead);

// The same through the virtual Reader interface, to show what the fast paths are worth.
void BM_TSPacketReadGeneric(benchmark::State& state) {
    if (!have_stream(state)) return;
    const auto& data = stream();
    MPEG::TSPacket packet;
    size_t packets = 0;
    for (auto _ : state) {
        Channel::BlockReader block(data.data(), data.size());
        Channel::Reader& reader = block;
        packets = 0;
        while (block.remaining() >= MPEG::ts_packet_size) {
            packets += MPEG::TSPacket::read(reader, packet);
            benchmark::DoNotOptimize(packet.payload.data());
        }
    }
    finish(state, packets);
}
BENCHMARK(BM_TSPacketReadGeneric);

// Header and adaptation field only, payload skipped: what a PID filter pays per packet.
void BM_TSPacketReadHeader(benchmark::State& state) {
    if (!have_stream(state)) return;
    const auto& data = stream();
    MPEG::TSPacket packet;
    size_t packets = 0;
    for (auto _ : state) {
        packets = 0;
        for (size_t at = 0; at + MPEG::ts_packet_size <= data.size(); at += MPEG::ts_packet_size) {
            Channel::BlockReader reader(data.data() + at, MPEG::ts_packet_size);
            size_t length = 0;
            packets += MPEG::TSPacket::read_header(reader, packet, length);
            benchmark::DoNotOptimize(packet.pid);
        }
    }
    finish(state, packets);
}
BENCHMARK(BM_TSPacketReadHeader);

// CRC-32/MPEG-2 over the same bytes (what a table reader pays per section byte).
void BM_Crc32Mpeg2(benchmark::State& state) {
    if (!have_stream(state)) return;
    const auto& data = stream();
    for (auto _ : state)
        benchmark::DoNotOptimize(MPEG::crc32_mpeg2(data.data(), data.size()));
    finish(state, data.size() / MPEG::ts_packet_size);
}
BENCHMARK(BM_Crc32Mpeg2);

}  // namespace

BENCHMARK_MAIN();
