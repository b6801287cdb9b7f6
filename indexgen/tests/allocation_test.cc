// No allocation per packet on the steady path: the whole program's operator new is counted while a
// warmed-up pipeline (and parser) takes a real stream a second time, in datagrams.
#include <gtest/gtest.h>

#include "indexgen/indexgen.h"
#include "indexgen/tests/video_feeder.h"
#include "tests/support/test_support.h"

uint64_t allocation_count();  // allocation_counter.cc

namespace Corvid::IndexGen {
namespace {

using Testing::FedRecord;
using Testing::VideoFeeder;

class CountingPipe final : public TSPipe {
  public:
    void process(const MPEG::TSPacket& packet) override { bytes += packet.payload.size(); }
    uint64_t bytes = 0;
};

void feed(TSPipeline& pipeline, const std::vector<uint8_t>& file) {
    for (size_t at = 0; at < file.size(); at += 1316)
        pipeline.feed(file.data() + at, std::min<size_t>(1316, file.size() - at));
}

TEST(Allocation, PipelineAllocatesNothingOnceWarm) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    const auto file = Corvid::Testing::read_file(path);
    CountingPipe pipe;
    TSPipeline pipeline;
    pipeline.add_pipe(pipe);
    feed(pipeline, file);
    const uint64_t before = allocation_count();
    feed(pipeline, file);
    EXPECT_EQ(allocation_count() - before, 0u);
    EXPECT_GT(pipe.bytes, file.size());  // the pipe did see both passes
}

// Odd chunk sizes go through the buffer: it grows once and is compacted in place after that.
TEST(Allocation, BufferedFeedsAllocateNothingOnceWarm) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-025.ts");
    const auto file = Corvid::Testing::read_file(path);
    CountingPipe pipe;
    TSPipeline pipeline;
    pipeline.add_pipe(pipe);
    for (size_t pass = 0; pass < 2; ++pass) {
        const uint64_t before = allocation_count();
        for (size_t at = 0; at < file.size(); at += 1000)
            pipeline.feed(file.data() + at, std::min<size_t>(1000, file.size() - at));
        if (pass == 1) {
            EXPECT_EQ(allocation_count() - before, 0u);
        }
    }
}

struct Counted {
    uint64_t allocations;
    uint64_t records;
    uint64_t entries;
};

Counted second_pass(const std::string& path, uint16_t pid, Parser& parser) {
    const auto file = Corvid::Testing::read_file(path);
    uint64_t entries = 0;
    VideoFeeder feeder(pid, parser,
                       [&](const FedRecord& fed) { entries += fed.record.has_header_start; });
    TSPipeline pipeline;
    pipeline.add_pipe(feeder);
    feed(pipeline, file);
    const uint64_t records = feeder.records();
    entries = 0;
    const uint64_t before = allocation_count();
    feed(pipeline, file);
    return Counted{allocation_count() - before, feeder.records() - records, entries};
}

TEST(Allocation, MPEG2ParserAllocatesNothingOnceWarm) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-025.ts");
    MPEG2Parser parser;
    const Counted c = second_pass(path, 0x1000, parser);
    EXPECT_GT(c.records, 5000u);
    EXPECT_EQ(c.entries, 5u);
    EXPECT_EQ(c.allocations, 0u);
}

// What allocates is per intra picture, never per packet: a recycled record that never held marks
// or header units grows its mark list (start and end may fall in two records) and its
// header_data string the first time it gets them.
TEST(Allocation, H264ParserAllocatesNothingPerPacket) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    H264Parser parser;
    const Counted c = second_pass(path, 0x100, parser);
    EXPECT_GT(c.records, 5000u);
    EXPECT_EQ(c.entries, 2u);
    EXPECT_LE(c.allocations, 3 * c.entries);
}

}  // namespace
}  // namespace Corvid::IndexGen
