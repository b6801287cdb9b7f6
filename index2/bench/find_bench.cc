// NPT search on the index of a one-hour segment (bench/hour_index.h): CPU time per search and
// blocks read per search.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>

#include "index2/bench/hour_index.h"
#include "index2/index_reader.h"
#include "tests/support/test_support.h"

namespace {

std::string one_hour_index(const std::string& path) {
    return Corvid::Index2::Bench::write_hour_index(path, std::string(2 * 188, '\x47')) ? path : "";
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
