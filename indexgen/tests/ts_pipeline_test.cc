#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "gantry/channel/error.h"
#include "indexgen/indexgen.h"
#include "indexgen/tests/stream_support.h"
#include "tests/support/test_support.h"

namespace Corvid::IndexGen {
namespace {

using Testing::CollectPipe;
using Testing::feed_in_chunks;
using Testing::SeenPacket;

// A packet built byte by byte: header without adaptation field, payload filled with a byte that
// is neither 0x47 nor 0x00.
std::vector<uint8_t> make_packet(uint16_t pid, uint8_t cc, uint8_t fill = 0x5A) {
    std::vector<uint8_t> p(188, fill);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>(pid >> 8 & 0x1F);
    p[2] = static_cast<uint8_t>(pid);
    p[3] = static_cast<uint8_t>(0x10 | (cc & 0x0F));
    return p;
}

void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

std::vector<uint64_t> offsets(const std::vector<SeenPacket>& packets) {
    std::vector<uint64_t> out;
    for (const auto& p : packets)
        out.push_back(p.offset);
    return out;
}

TEST(TSPipeline, EmitsPacketsWithStreamOffsetsFromTheStartOffset) {
    std::vector<uint8_t> data;
    for (uint8_t i = 0; i < 5; ++i)
        append(data, make_packet(0x100 + i, i, static_cast<uint8_t>(0x10 + i)));
    const auto packets = feed_in_chunks(data, data.size(), 1000);
    ASSERT_EQ(offsets(packets), (std::vector<uint64_t>{1000, 1188, 1376, 1564, 1752}));
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].pid, 0x100 + i);
        EXPECT_EQ(packets[i].continuity_counter, i);
        EXPECT_EQ(packets[i].payload, std::vector<uint8_t>(184, static_cast<uint8_t>(0x10 + i)));
    }
}

TEST(TSPipeline, PartialPacketWaitsForTheRest) {
    const auto packet = make_packet(0x20, 3);
    CollectPipe collect;
    TSPipeline pipeline(500);
    pipeline.add_pipe(collect);
    pipeline.feed(packet.data(), 1);
    pipeline.feed(packet.data() + 1, 186);
    EXPECT_TRUE(collect.packets.empty());
    pipeline.feed(packet.data() + 187, 1);
    ASSERT_EQ(collect.packets.size(), 1u);
    EXPECT_EQ(collect.packets[0].offset, 500u);
    EXPECT_EQ(collect.packets[0].pid, 0x20);
}

TEST(TSPipeline, EveryPipeGetsEveryPacketInTheOrderAdded) {
    struct Order final : TSPipe {
        Order(std::vector<int>& log, int id) : log(log), id(id) {}
        void process(const MPEG::TSPacket&) override { log.push_back(id); }
        std::vector<int>& log;
        int id;
    };
    std::vector<int> log;
    Order first(log, 1), second(log, 2);
    TSPipeline pipeline;
    pipeline.add_pipe(first);
    pipeline.add_pipe(second);
    std::vector<uint8_t> data = make_packet(1, 0);
    append(data, make_packet(2, 0));
    pipeline.feed(data.data(), data.size());
    EXPECT_EQ(log, (std::vector<int>{1, 2, 1, 2}));
}

// Data that starts in the middle of a packet, with stray sync bytes in the part before the
// first whole packet: none of them may be taken as a packet start, and the offsets stay true.
// (A sync byte as the very first byte of the data is trusted, as after a packet.)
TEST(TSPipeline, GarbageBeforeTheFirstPacketIsSkippedAndCounted) {
    std::vector<uint8_t> data(150, 0x33);
    data[1] = 0x47;   // the next 0x47 is 199 bytes on, not 188
    data[12] = 0x47;  // 188 on lies inside the first real packet's payload
    data[149] = 0x47;
    for (uint8_t i = 0; i < 3; ++i)
        append(data, make_packet(0x40, i));
    const auto packets = feed_in_chunks(data, data.size());
    EXPECT_EQ(offsets(packets), (std::vector<uint64_t>{150, 338, 526}));
}

TEST(TSPipeline, MissingSyncByteDropsOnlyThatPacket) {
    std::vector<uint8_t> data;
    for (uint8_t i = 0; i < 5; ++i)
        append(data, make_packet(0x41, i));
    data[2 * 188] = 0x46;
    const auto packets = feed_in_chunks(data, data.size());
    EXPECT_EQ(offsets(packets), (std::vector<uint64_t>{0, 188, 564, 752}));
}

// A packet cut short: 100 bytes of it, then the next packet whole. The short packet is passed on
// as read (its sync byte was where one was due, and its end cannot be known in advance), but the
// packet after it is found again and keeps its own offset.
TEST(TSPipeline, PacketCutShortDoesNotSwallowTheNextOne) {
    std::vector<uint8_t> data;
    append(data, make_packet(0x42, 0));
    append(data, make_packet(0x42, 1));
    const auto short_packet = make_packet(0x42, 2);
    data.insert(data.end(), short_packet.begin(), short_packet.begin() + 100);
    append(data, make_packet(0x43, 3));
    append(data, make_packet(0x43, 4));
    const auto packets = feed_in_chunks(data, data.size());
    ASSERT_EQ(offsets(packets), (std::vector<uint64_t>{0, 188, 376, 476, 664}));
    EXPECT_EQ(packets[3].pid, 0x43);
    EXPECT_EQ(packets[3].continuity_counter, 3u);
}

TEST(TSPipeline, AdaptationFieldLengths) {
    std::vector<uint8_t> data;
    auto empty = make_packet(0x50, 0);
    empty[3] = 0x30;  // adaptation field and payload
    empty[4] = 183;   // fills the packet
    empty[5] = 0;
    append(data, empty);
    auto bad = make_packet(0x51, 1);
    bad[3] = 0x31;
    bad[4] = 184;  // one byte longer than the packet: dropped
    append(data, bad);
    append(data, make_packet(0x52, 2));
    const auto packets = feed_in_chunks(data, data.size());
    ASSERT_EQ(offsets(packets), (std::vector<uint64_t>{0, 376}));
    EXPECT_TRUE(packets[0].payload.empty());
    EXPECT_EQ(packets[1].pid, 0x52);
}

// All the faults above in one stream; any chunking must give the same packets.
TEST(TSPipeline, ChunkingDoesNotChangeWhatComesOut) {
    std::vector<uint8_t> data(77, 0x47);  // a run of sync bytes, none 188 apart
    for (uint8_t i = 0; i < 4; ++i)
        append(data, make_packet(0x60, i));
    data[77 + 188] = 0x00;  // lost sync byte
    const auto short_packet = make_packet(0x61, 0);
    data.insert(data.end(), short_packet.begin(), short_packet.begin() + 57);
    for (uint8_t i = 0; i < 4; ++i)
        append(data, make_packet(0x62, i, 0x47));  // payloads full of 0x47
    auto bad = make_packet(0x63, 0);
    bad[3] = 0x30;
    bad[4] = 200;
    append(data, bad);
    append(data, make_packet(0x64, 0));

    const auto whole = feed_in_chunks(data, data.size());
    ASSERT_FALSE(whole.empty());
    EXPECT_EQ(whole.back().pid, 0x64);
    std::mt19937 random(7);
    for (size_t chunk = 1; chunk <= 400; ++chunk) {
        const auto packets = feed_in_chunks(data, chunk);
        ASSERT_EQ(offsets(packets), offsets(whole)) << "chunk " << chunk;
    }
    // Random chunk sizes.
    for (int round = 0; round < 50; ++round) {
        CollectPipe collect;
        TSPipeline pipeline;
        pipeline.add_pipe(collect);
        size_t at = 0;
        while (at < data.size()) {
            const size_t n = std::min<size_t>(random() % 500, data.size() - at);
            pipeline.feed(data.data() + at, n);
            at += n;
        }
        ASSERT_EQ(offsets(collect.packets), offsets(whole)) << "round " << round;
    }
}

// Each chunk in its own allocation, as datagrams arrive: the pipeline must never reach back into
// memory before the chunk it was given (feeding slices of one vector hid such a read).
TEST(TSPipeline, ByteByByteFromSeparateBuffersKeepsEveryPacket) {
    std::vector<uint8_t> data;
    for (uint8_t i = 0; i < 6; ++i)
        append(data, make_packet(0x41, i, static_cast<uint8_t>(0x20 + i)));
    CollectPipe collect;
    TSPipeline pipeline;
    pipeline.add_pipe(collect);
    for (uint8_t byte : data) {
        auto chunk = std::make_unique<uint8_t[]>(1);
        chunk[0] = byte;
        pipeline.feed(chunk.get(), 1);
    }
    ASSERT_EQ(offsets(collect.packets), (std::vector<uint64_t>{0, 188, 376, 564, 752, 940}));
    for (size_t i = 0; i < collect.packets.size(); ++i)
        EXPECT_EQ(collect.packets[i].payload,
                  std::vector<uint8_t>(184, static_cast<uint8_t>(0x20 + i)));
}

// The index writer's Channel::Error must reach the capture (which closes the index); the packet
// that raised it counts as passed and the rest of the chunk is not lost.
TEST(TSPipeline, PipeErrorPropagatesAndTheRestOfTheDataFollowsLater) {
    struct Failing final : TSPipe {
        void process(const MPEG::TSPacket& packet) override {
            if (packet.continuity_counter == 2 && !failed) {
                failed = true;
                throw Gantry::Channel::Error(1, "Stream failed");
            }
            seen.push_back(packet.offset);
        }
        bool failed = false;
        std::vector<uint64_t> seen;
    };
    for (size_t extra : {0, 1, 100}) {  // data in place, and data in the buffer
        std::vector<uint8_t> data(extra, 0x22);
        for (uint8_t i = 0; i < 5; ++i)
            append(data, make_packet(0x70, i));
        Failing pipe;
        TSPipeline pipeline;
        pipeline.add_pipe(pipe);
        if (extra) pipeline.feed(data.data(), extra);
        EXPECT_THROW(pipeline.feed(data.data() + extra, 4 * 188), Gantry::Channel::Error);
        pipeline.feed(data.data() + extra + 4 * 188, 188);
        EXPECT_EQ(pipe.seen, (std::vector<uint64_t>{extra, extra + 188, extra + 564, extra + 752}))
            << "extra " << extra;
    }
}

// The real captures, fed in datagrams and in odd chunk sizes: every packet comes out once, at
// its true position, with its own bytes; except packets whose adaptation field claims more than
// the packet holds (noise in tsduck-test-143), which are dropped.
void expect_all_packets(const std::vector<uint8_t>& file, const std::vector<SeenPacket>& packets,
                        uint64_t shift, const std::string& what) {
    std::vector<uint64_t> expected;
    for (uint64_t at = shift; at + 188 <= file.size(); at += 188)
        if (!((file[at + 3] & 0x20) && file[at + 4] > 183)) expected.push_back(at);
    ASSERT_EQ(packets.size(), expected.size()) << what;
    for (size_t i = 0; i < packets.size(); ++i) {
        const SeenPacket& p = packets[i];
        const uint64_t at = expected[i];
        ASSERT_EQ(p.offset, at) << what;
        ASSERT_EQ(p.pid, (file[at + 1] & 0x1F) << 8 | file[at + 2]) << what << " at " << at;
        ASSERT_TRUE(std::equal(p.payload.begin(), p.payload.end(),
                               file.begin() + static_cast<ptrdiff_t>(at + 188 - p.payload.size())))
            << what << " at " << at;
    }
}

const char* const real_streams[] = {
    "testdata/ts/video/tsduck-test-025.ts", "testdata/ts/video/tsduck-test-026.ts",
    "testdata/ts/video/tsduck-test-064.ts", "testdata/ts/video/tsduck-test-143.ts",
    "testdata/ts/misc/tsduck-test-018.ts",  "testdata/ts/epg/tsduck-test-030.ts",
};

TEST(TSPipelineRealStreams, EveryPacketAtItsTruePositionWhateverTheChunking) {
    for (const char* name : real_streams) {
        CORVID_REQUIRE_SHARED(path, name);
        const auto file = Corvid::Testing::read_file(path);
        for (size_t chunk : {1316, 1000, 7, 65536})
            expect_all_packets(file, feed_in_chunks(file, chunk), 0,
                               std::string(name) + " in chunks of " + std::to_string(chunk));
    }
}

TEST(TSPipelineRealStreams, LeadingGarbageIsSkipped) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-025.ts");
    const auto stream = Corvid::Testing::read_file(path);
    // 1000 bytes of noise with sync bytes scattered through it, none of them followed by another
    // one 188 bytes later (which no receiver could tell from a packet).
    std::mt19937 random(42);
    std::vector<uint8_t> file(1000);
    for (auto& b : file)
        b = static_cast<uint8_t>(random() % 0x47);
    for (size_t at = 3; at < file.size(); at += 37) {
        const uint8_t later = at + 188 < file.size() ? file[at + 188] : stream[at + 188 - 1000];
        if (later != 0x47) file[at] = 0x47;
    }
    file.insert(file.end(), stream.begin(), stream.end());
    for (size_t chunk : {1316, 1000, 7})
        expect_all_packets(file, feed_in_chunks(file, chunk, 0), 1000,
                           "garbage + 025 in chunks of " + std::to_string(chunk));
}

// tsduck-test-142 is 300 packets' worth of bytes; decoded by hand, the stretch 34780..35720
// (where the 188-byte grid has no sync bytes) holds 134 bytes of 0xFF, four whole packets at
// 34914, 35102, 35290 and 35478, and the first 54 bytes of a packet at 35666 cut short by the
// packet at 35720, from which the grid continues. The short packet is passed on as read (its
// sync byte came where one was due); every other packet comes out exactly once, in order.
TEST(TSPipelineRealStreams, CorruptStretchOfTsduck142) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/epg/tsduck-test-142.ts");
    const auto file = Corvid::Testing::read_file(path);
    ASSERT_EQ(file.size(), 56400u);
    std::vector<uint64_t> expected;
    for (uint64_t at = 0; at < file.size(); at += 188)
        if (at < 34780 || at >= 35720) expected.push_back(at);
    const uint64_t inside[] = {34914, 35102, 35290, 35478, 35666};
    expected.insert(std::find(expected.begin(), expected.end(), 35720), std::begin(inside),
                    std::end(inside));
    for (uint64_t at : inside)
        ASSERT_EQ(file[at], 0x47);
    for (size_t chunk : {1316, 1000, 7, 1, 188, 65536}) {
        const auto packets = feed_in_chunks(file, chunk);
        ASSERT_EQ(offsets(packets), expected) << "chunks of " << chunk;
        for (const auto& p : packets)
            ASSERT_EQ(p.pid, (file[p.offset + 1] & 0x1F) << 8 | file[p.offset + 2]);
    }
}

}  // namespace
}  // namespace Corvid::IndexGen
