// Decoding rate of a real multiplex (tsduck-test-184.ts, French DVB-T SI: ~1,450 EIT sections)
// fed in 1316-byte datagrams, beside two baselines over the same bytes: a plain copy, and a bare
// section pass (packet headers and TableReader assembly with CRC on the SI PIDs, no decoding).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "epg/epg_decoder.h"
#include "epg/epg_store.h"
#include "gantry/log/log.h"
#include "mpeg/table_reader.h"
#include "tests/support/test_support.h"

namespace {

namespace Capture = Corvid::Capture;
namespace MPEG = Corvid::MPEG;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

constexpr size_t DATAGRAM = 1316;

const std::vector<uint8_t>& capture() {
    static const std::vector<uint8_t> data = [] {
        std::string path = Corvid::Testing::shared_path("testdata/ts/epg/tsduck-test-184.ts");
        return path.empty() ? std::vector<uint8_t>() : Corvid::Testing::read_file(path);
    }();
    return data;
}

bool have_capture(benchmark::State& state) {
    if (!capture().empty()) return true;
    state.SkipWithError("../shared/testdata/ts/epg/tsduck-test-184.ts not found");
    return false;
}

void BM_ProcessData(benchmark::State& state) {
    if (!have_capture(state)) return;
    const auto& data = capture();
    const bool all = state.range(0) != 0;
    for (auto _ : state) {
        Capture::EPGStore store([] { return Stamp("2019-01-21T00:00:00Z"); });
        Capture::EPGDecoder decoder(store);
        Capture::EPGStreamState stream;
        Capture::ServiceOwner owner{"bench", Duration(0.0), all};
        for (size_t pos = 0; pos < data.size(); pos += DATAGRAM)
            Capture::process_data(decoder, data.data() + pos, std::min(DATAGRAM, data.size() - pos),
                                  stream, &owner);
        benchmark::DoNotOptimize(store);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
// 0: a channel capture's own service; 1: every service of the multiplex.
BENCHMARK(BM_ProcessData)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Memcpy(benchmark::State& state) {
    if (!have_capture(state)) return;
    const auto& data = capture();
    std::vector<uint8_t> copy(DATAGRAM);
    for (auto _ : state) {
        for (size_t pos = 0; pos < data.size(); pos += DATAGRAM) {
            std::memcpy(copy.data(), data.data() + pos, std::min(DATAGRAM, data.size() - pos));
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Memcpy);

class AnyTableReader : public MPEG::TableReader {
  public:
    size_t max_section_length() const override { return 4093; }
    bool accepts_table_id(uint8_t) const override { return true; }
};

void BM_SectionPass(benchmark::State& state) {
    if (!have_capture(state)) return;
    const auto& data = capture();
    for (auto _ : state) {
        AnyTableReader readers[3];
        MPEG::TSPacket packet;
        size_t sections = 0;
        for (size_t pos = 0; pos + 188 <= data.size(); pos += 188) {
            Gantry::Channel::BlockReader block(data.data() + pos, 188);
            size_t payload = 0;
            if (!MPEG::TSPacket::read_header(block, packet, payload)) continue;
            if (packet.pid > 0x12 || (packet.pid != 0 && packet.pid < 0x11)) continue;
            if (payload > block.remaining()) continue;
            auto& reader = readers[packet.pid == 0 ? 0 : packet.pid - 0x10];
            reader.add(packet, block.current(), payload);
            for (;;) {
                MPEG::SectionHeader header;
                size_t total = 0, length = 0;
                const uint8_t* body = nullptr;
                auto result = reader.read_section(header, total, body, length);
                if (result == MPEG::TableReader::need_more) break;
                if (result == MPEG::TableReader::complete) {
                    sections++;
                    reader.consume(total);
                }
            }
        }
        benchmark::DoNotOptimize(sections);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_SectionPass)->Unit(benchmark::kMillisecond);

}  // namespace
