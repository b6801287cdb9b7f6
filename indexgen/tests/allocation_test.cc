// No allocation per packet on the steady path: the whole program's operator new is counted while a
// warmed-up pipeline (and parser) takes a real stream a second time.
#include <gtest/gtest.h>

#include "indexgen/indexgen.h"
#include "indexgen/tests/video_feeder.h"
#include "tests/support/test_support.h"

uint64_t allocation_count();  // allocation_counter.cc

namespace Corvid::IndexGen {
namespace {

struct CountingPipe final : TSPipe {
    void process(const MPEG::TSPacket& packet) override { bytes += packet.payload.size(); }
    uint64_t bytes = 0;
};

// Allocations during the second of two passes over the file; *counter is zeroed between them.
uint64_t second_pass(TSPipe& pipe, const std::vector<uint8_t>& file, size_t chunk,
                     uint64_t* counter) {
    TSPipeline pipeline;
    pipeline.add_pipe(pipe);
    uint64_t before = 0;
    for (int pass = 0; pass < 2; ++pass) {
        *counter = 0;
        before = allocation_count();
        for (size_t at = 0; at < file.size(); at += chunk)
            pipeline.feed(file.data() + at, std::min(chunk, file.size() - at));
    }
    return allocation_count() - before;
}

// Datagrams are taken in place; odd chunk sizes go through the buffer, which grows once and is
// compacted in place after that.
TEST(Allocation, PipelineAllocatesNothingOnceWarm) {
    for (const auto& [name, chunk] : {std::pair{"testdata/ts/video/tsduck-test-064.ts", 1316},
                                      std::pair{"testdata/ts/video/tsduck-test-025.ts", 1000}}) {
        CORVID_REQUIRE_SHARED(path, name);
        const auto file = Corvid::Testing::read_file(path);
        CountingPipe pipe;
        EXPECT_EQ(second_pass(pipe, file, chunk, &pipe.bytes), 0u) << name;
        EXPECT_GT(pipe.bytes, file.size() / 2) << name;  // the pipe did see the second pass
    }
}

// What allocates is per intra picture, never per packet: a recycled record that never held marks
// or header units grows its mark list (start and end may fall in two records) and its
// header_data string the first time it gets them. The MPEG-2 parser has no header units.
TEST(Allocation, ParsersAllocateNothingPerPacket) {
    struct Case {
        const char* name;
        uint16_t pid;
        bool h264;
        uint64_t entries;
    };
    for (const Case& c : {Case{"testdata/ts/video/tsduck-test-025.ts", 0x1000, false, 5},
                          Case{"testdata/ts/video/tsduck-test-064.ts", 0x100, true, 2}}) {
        CORVID_REQUIRE_SHARED(path, c.name);
        H264Parser h264;
        MPEG2Parser mpeg2;
        uint64_t entries = 0;
        Testing::VideoFeeder feeder(
            c.pid, c.h264 ? static_cast<Parser&>(h264) : mpeg2,
            [&](const Testing::FedRecord& fed) { entries += fed.record.has_header_start; });
        const uint64_t allocations =
            second_pass(feeder, Corvid::Testing::read_file(path), 1316, &entries);
        EXPECT_GT(feeder.records(), 2 * 5000u) << c.name;
        EXPECT_EQ(entries, c.entries) << c.name;
        EXPECT_LE(allocations, c.h264 ? 3 * c.entries : 0) << c.name;
    }
}

}  // namespace
}  // namespace Corvid::IndexGen
