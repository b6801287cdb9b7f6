// NPT search on the index of a one-hour segment: CPU time per search and blocks read per search.
// The index is written by the real IndexWriter from records shaped like a 4 Mbit/s channel: a PCR
// every 40 ms, an intra picture of 200 video packets every 2 s (the first packet changed, the rest
// referenced, the NPT moving on inside the picture).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>

#include "index2/index_reader.h"
#include "index2/index_writer.h"
#include "indexgen/packet_record.h"
#include "tests/support/test_support.h"

namespace {

using Corvid::IndexGen::PacketRecord;

std::string one_hour_index(const std::string& path) {
    Corvid::Index2::IndexWriter writer;
    if (writer.open(path, false) != 0) return "";
    writer.set_psi_data(std::string(2 * 188, '\x47'));
    const double seconds = 3600;
    const uint64_t bytes_per_second = 500000;
    PacketRecord record;
    record.packet.pid = 0x100;
    record.packet.payload.assign(184, 0x55);
    for (double t = 0.04; t < seconds; t += 0.04) {
        uint64_t offset = static_cast<uint64_t>(t * bytes_per_second) / 188 * 188;
        const bool picture = static_cast<int>(t / 0.04 + 0.5) % 50 == 0;
        if (!picture) {
            writer.add_npt(offset, t);
            continue;
        }
        for (int i = 0; i < 200; ++i) {
            record.marks.clear();
            record.state = PacketRecord::intra;
            record.intra_start = i == 0;
            record.modified = i == 0;
            record.packet.offset = offset + i * 376;
            record.npt = t + (i / 50) * 0.04;
            if (i == 0) record.marks.push_back({0, false});
            if (i == 199) record.marks.push_back({100, true});
            writer.add_packet(record);
        }
    }
    writer.close();
    return path;
}

void BM_FindNptInOneHourIndex(benchmark::State& state) {
    Corvid::Testing::TempDir dir;
    std::string path = one_hour_index(dir.file("hour.cvi2"));
    Corvid::Index2::IndexReader reader(path);
    if (!reader.valid()) {
        state.SkipWithError("cannot write the index");
        return;
    }
    const bool intra = state.range(0) != 0;
    std::mt19937 random(42);
    std::uniform_real_distribution<double> when(0.1, 3599.0);
    uint64_t searches = 0, most_blocks = 0;
    reader.reset_blocks_read();
    for (auto _ : state) {
        double npt = when(random);
        uint64_t offset = 0, position = 0;
        uint64_t before = reader.blocks_read();
        bool found = reader.find_npt(npt, intra, offset, position);
        benchmark::DoNotOptimize(found);
        most_blocks = std::max(most_blocks, reader.blocks_read() - before);
        ++searches;
    }
    state.counters["blocks_per_find"] =
        static_cast<double>(reader.blocks_read()) / static_cast<double>(searches);
    state.counters["most_blocks"] = static_cast<double>(most_blocks);
    state.counters["index_blocks"] = 0;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fseek(f, 0, SEEK_END);
        state.counters["index_blocks"] = static_cast<double>(std::ftell(f) / 256 - 1);
        std::fclose(f);
    }
}
BENCHMARK(BM_FindNptInOneHourIndex)->Arg(0)->Arg(1)->ArgNames({"intra"});

// Baseline in the same run: reading one block at a random position (one seek and one read).
void BM_ReadOneBlock(benchmark::State& state) {
    Corvid::Testing::TempDir dir;
    std::string path = one_hour_index(dir.file("hour.cvi2"));
    Corvid::Index2::IndexReader reader(path);
    std::mt19937 random(42);
    std::uniform_int_distribution<uint64_t> where(1, 100000);
    Corvid::Index2::Block block;
    for (auto _ : state)
        benchmark::DoNotOptimize(reader.read_block(where(random) * 256, block));
}
BENCHMARK(BM_ReadOneBlock);

}  // namespace

BENCHMARK_MAIN();
