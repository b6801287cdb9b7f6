// The pipeline fed real captures, whole and corrupt, in chunks of every size of the table and at
// random: what comes out depends on the bytes alone.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "indexgen/tests/support.h"
#include "indexgen/ts_pipe.h"
#include "tests/support/test_support.h"

namespace Corvid::IndexGen {
namespace {

using Testing::Bytes;
using Testing::operator+;

// The packets that came out. As the last pipe it takes each payload's storage and leaves junk in
// exchange, so every check of what comes out also checks that the pipeline fills packets afresh.
struct Out {
    std::vector<uint64_t> offsets;
    std::vector<MPEG::TSPacket> packets;
};
struct CollectPipe final : TSPipe {
    void process(const MPEG::TSPacket&) override { ADD_FAILURE() << "the last pipe may take"; }
    void process_and_take(MPEG::TSPacket& p) override {
        out.offsets.push_back(p.offset);
        out.packets.push_back(p);
        p.payload.assign(3, 0xEE);
    }
    Out out;
};

// Feeds data (at stream offset start) through a fresh pipeline in chunks of the given size (0:
// random sizes), each in an allocation of its own as datagrams arrive: the pipeline must never
// reach back before the chunk it was given (slices of one vector hid such a read).
Out feed(const Bytes& data, size_t chunk, uint64_t start) {
    CollectPipe collect;
    TSPipeline pipeline(start);
    pipeline.add_pipe(collect);
    std::mt19937 random(7);
    for (size_t at = 0, n = 0; at < data.size(); at += n) {
        n = std::min<size_t>(chunk ? chunk : random() % 500, data.size() - at);
        auto bytes = std::make_unique<uint8_t[]>(n);
        std::copy_n(data.begin() + static_cast<ptrdiff_t>(at), n, bytes.get());
        pipeline.feed(bytes.get(), n);
    }
    return std::move(collect.out);
}

// In chunks of every size of the table, and of random sizes, exactly the packets at expected come
// out, each with the PID, counter and payload of its own 188 bytes.
void expect_packets(const Bytes& data, const std::vector<uint64_t>& expected, uint64_t start = 0) {
    std::vector<size_t> chunks(std::begin(Testing::chunk_sizes), std::end(Testing::chunk_sizes));
    chunks.push_back(0);
    for (size_t chunk : chunks) {
        const Out out = feed(data, chunk, start);
        ASSERT_EQ(out.offsets, expected) << "chunks of " << chunk;
        for (const MPEG::TSPacket& p : out.packets) {
            const uint8_t* at = data.data() + (p.offset - start);
            ASSERT_EQ(p.pid, (at[1] & 0x1F) << 8 | at[2]) << p.offset << ", chunks of " << chunk;
            ASSERT_EQ(p.continuity_counter, at[3] & 0x0Fu) << p.offset << ", chunks of " << chunk;
            ASSERT_TRUE(std::equal(p.payload.begin(), p.payload.end(), at + 188 - p.payload.size()))
                << p.offset << ", chunks of " << chunk;
        }
    }
}

// Real captures after 1000 bytes of noise and with a sync byte lost, from a start offset: every
// other packet comes out once, at its true position, with its own bytes, except packets whose
// adaptation field claims more than the packet holds (noise in tsduck-test-143), which are
// dropped.
TEST(TSPipelineRealStreams, EveryPacketAtItsTruePositionWhateverTheChunking) {
    for (const char* name :
         {"testdata/ts/video/tsduck-test-025.ts", "testdata/ts/video/tsduck-test-064.ts",
          "testdata/ts/video/tsduck-test-143.ts", "testdata/ts/misc/tsduck-test-018.ts"}) {
        CORVID_REQUIRE_SHARED(path, name);
        SCOPED_TRACE(name);
        const Bytes stream = Corvid::Testing::read_file(path);
        // Sync bytes scattered through the noise, none followed by another 188 bytes later (which
        // no receiver could tell from a packet).
        std::mt19937 random(42);
        Bytes file(1000);
        for (auto& b : file)
            b = static_cast<uint8_t>(random() % 0x47);
        file = file + stream;
        for (size_t at = 3; at < 1000; at += 37)
            file[at] = file[at + 188] == 0x47 ? file[at] : 0x47;
        file[1000 + 5 * 188] = 0;
        std::vector<uint64_t> expected;
        for (uint64_t at = 1000; at + 188 <= file.size(); at += 188)
            if (file[at] == 0x47 && !((file[at + 3] & 0x20) && file[at + 4] > 183))
                expected.push_back(at + 5000);
        expect_packets(file, expected, 5000);
    }
}

// tsduck-test-142 is 300 packets' worth of bytes; decoded by hand, the stretch 34780..35720
// (where the 188-byte grid has no sync bytes) holds 134 bytes of 0xFF, four whole packets at
// 34914, 35102, 35290 and 35478, and the first 54 bytes of a packet at 35666 cut short by the
// packet at 35720, from which the grid continues. The short packet is passed on as read (its
// sync byte came where one was due); every other packet comes out exactly once, in order.
TEST(TSPipelineRealStreams, CorruptStretchOfTsduck142) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/epg/tsduck-test-142.ts");
    const Bytes file = Corvid::Testing::read_file(path);
    ASSERT_EQ(file.size(), 56400u);
    std::vector<uint64_t> expected;
    for (uint64_t at = 0; at < file.size(); at += 188) {
        if (at == 35720) expected.insert(expected.end(), {34914, 35102, 35290, 35478, 35666});
        if (at < 34780 || at >= 35720) expected.push_back(at);
    }
    expect_packets(file, expected);
}

}  // namespace
}  // namespace Corvid::IndexGen
