// The store at the size of a national guide: seven days for 500 services, three events an hour
// (252,000 events). Adding them all, saving the state file and loading it back, beside the bare
// XML parse of the same file as the baseline for loading.
#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <string>

#include "epg/epg_store.h"
#include "gantry/log/log.h"
#include "gantry/xml/parser.h"
#include "tests/support/test_support.h"

namespace {

using Corvid::Capture::EPGStore;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

constexpr int SERVICES = 500;
constexpr int HOURS = 7 * 24;
constexpr int PER_HOUR = 3;
const Stamp START("2024-03-04T00:00:00Z");

void fill(EPGStore& store) {
    for (int s = 1; s <= SERVICES; s++)
        store.add_service("capture-" + std::to_string(s % 50), Duration(3600.0),
                          static_cast<uint16_t>(s), "Provider", "Service " + std::to_string(s),
                          START);
    const std::string description =
        "A documentary about the sea, with interviews, archive footage and a look at the fishing "
        "villages of the coast.";
    for (int s = 1; s <= SERVICES; s++) {
        uint16_t id = 0;
        for (int slot = 0; slot < HOURS * PER_HOUR; slot++) {
            Stamp start = START + Duration(slot * 3600.0 / PER_HOUR);
            store.add_event(static_cast<uint16_t>(s), id++, start, Duration(3600.0 / PER_HOUR),
                            "Programme " + std::to_string(slot), description);
        }
    }
}

struct StateFile {
    StateFile() : path(dir.file("epg.xml")) {
        EPGStore store([] { return START; });
        fill(store);
        store.save(path);
    }
    Corvid::Testing::TempDir dir;
    std::string path;
};

StateFile& state_file() {
    static StateFile file;
    return file;
}

void BM_StoreAddEvents(benchmark::State& state) {
    for (auto _ : state) {
        EPGStore store([] { return START; });
        fill(store);
        benchmark::DoNotOptimize(store);
    }
    state.SetItemsProcessed(state.iterations() * SERVICES * HOURS * PER_HOUR);
}
BENCHMARK(BM_StoreAddEvents)->Unit(benchmark::kMillisecond);

void BM_StoreSave(benchmark::State& state) {
    EPGStore store([] { return START; });
    fill(store);
    Corvid::Testing::TempDir dir;
    for (auto _ : state)
        store.save(dir.file("epg.xml"));
    state.SetItemsProcessed(state.iterations() * SERVICES * HOURS * PER_HOUR);
}
BENCHMARK(BM_StoreSave)->Unit(benchmark::kMillisecond);

void BM_StoreLoad(benchmark::State& state) {
    const std::string& path = state_file().path;
    for (auto _ : state) {
        EPGStore store([] { return START; });
        store.load(path);
        benchmark::DoNotOptimize(store);
    }
    state.SetItemsProcessed(state.iterations() * SERVICES * HOURS * PER_HOUR);
}
BENCHMARK(BM_StoreLoad)->Unit(benchmark::kMillisecond);

// The baseline: the XML parser alone reading the same file, with the flags the store uses.
void BM_XmlParseStateFile(benchmark::State& state) {
    const std::string& path = state_file().path;
    for (auto _ : state) {
        std::ifstream in(path);
        Gantry::XML::Parser parser(
            std::cerr, Gantry::XML::Parser::FOLD_TEXT | Gantry::XML::Parser::KEEP_WHITESPACE);
        benchmark::DoNotOptimize(&parser.read(in));
    }
    state.SetItemsProcessed(state.iterations() * SERVICES * HOURS * PER_HOUR);
}
BENCHMARK(BM_XmlParseStateFile)->Unit(benchmark::kMillisecond);

}  // namespace
