// No allocation per packet on the steady path: the whole program's operator new is counted while a
// warmed-up pipeline and parser take a real stream a second time.
#include <gtest/gtest.h>

#include "indexgen/bench/video_feeder.h"
#include "tests/support/test_support.h"

uint64_t allocation_count();  // allocation_counter.cc

namespace Corvid::IndexGen {
namespace {

// Datagrams are taken in place, other chunks go through the pipeline's buffer. A recycled record
// grows its mark list and header_data the first time it gets them: a few allocations per H.264
// intra picture at most.
TEST(Allocation, NothingPerPacketOnceWarm) {
    const struct {
        const char* name;
        uint16_t pid;
        bool h264;
        size_t chunk;
        uint64_t entries;
    } cases[] = {{"testdata/ts/video/tsduck-test-025.ts", 0x1000, false, 1000, 5},
                 {"testdata/ts/video/tsduck-test-064.ts", 0x100, true, 1316, 2}};
    for (const auto& c : cases) {
        CORVID_REQUIRE_SHARED(path, c.name);
        const auto file = Corvid::Testing::read_file(path);
        H264Parser h264;
        MPEG2Parser mpeg2;
        uint64_t entries = 0;
        Testing::VideoFeeder feeder(
            c.pid, c.h264 ? static_cast<Parser&>(h264) : mpeg2,
            [&](const Testing::FedRecord& fed) { entries += fed.record.has_header_start; });
        TSPipeline pipeline;
        pipeline.add_pipe(feeder);
        uint64_t before = 0;
        for (int pass = 0; pass < 2; ++pass) {
            entries = 0;
            before = allocation_count();
            for (size_t at = 0; at < file.size(); at += c.chunk)
                pipeline.feed(file.data() + at, std::min(c.chunk, file.size() - at));
        }
        EXPECT_GT(feeder.records(), 2 * 5000u) << c.name;
        EXPECT_EQ(entries, c.entries) << c.name;
        EXPECT_LE(allocation_count() - before, c.h264 ? 3 * c.entries : 0) << c.name;
    }
}

}  // namespace
}  // namespace Corvid::IndexGen
