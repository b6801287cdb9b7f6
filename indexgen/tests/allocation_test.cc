// No allocation per packet on the steady path: the whole program's operator new is counted while a
// warmed-up pipeline and parser take a real stream a second time.
#include <gtest/gtest.h>

#include "indexgen/bench/video_feeder.h"
#include "tests/support/test_support.h"

uint64_t allocation_count();  // allocation_counter.cc

namespace Corvid::IndexGen {
namespace {

// Odd chunks go through the pipeline's buffer, datagrams are taken in place. A recycled record
// grows its mark list and header_data the first time it gets them: a few allocations per intra
// picture at most.
TEST(Allocation, NothingPerPacketOnceWarm) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    const auto file = Corvid::Testing::read_file(path);
    H264Parser parser;
    uint64_t entries = 0;
    Testing::VideoFeeder feeder(0x100, parser, [&](const Testing::FedRecord& fed) {
        entries += fed.record.has_header_start;
    });
    TSPipeline pipeline;
    pipeline.add_pipe(feeder);
    const size_t chunks[] = {1000, 1000, 1316, 1316};  // the first of each size warms up
    for (size_t pass = 0; pass < 4; ++pass) {
        const uint64_t before = allocation_count();
        entries = 0;
        for (size_t at = 0; at < file.size(); at += chunks[pass])
            pipeline.feed(file.data() + at, std::min(chunks[pass], file.size() - at));
        EXPECT_EQ(entries, 2u);
        EXPECT_LE(allocation_count() - before, pass % 2 ? 3 * entries : UINT64_MAX) << pass;
    }
}

}  // namespace
}  // namespace Corvid::IndexGen
