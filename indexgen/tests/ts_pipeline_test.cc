#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "gantry/channel/error.h"
#include "indexgen/indexgen.h"
#include "tests/support/test_support.h"

namespace Corvid::IndexGen {
namespace {

using Bytes = std::vector<uint8_t>;

struct Seen {
    uint64_t offset;
    uint16_t pid;
    uint32_t continuity_counter;
    Bytes payload;
};

// As the last pipe it takes the payload's storage and leaves junk in exchange, so that every test
// of what comes out also checks that the pipeline fills each packet afresh.
struct CollectPipe final : TSPipe {
    void process(const MPEG::TSPacket& p) override {
        seen.push_back({p.offset, p.pid, p.continuity_counter, p.payload});
    }
    void process_and_take(MPEG::TSPacket& p) override {
        seen.push_back({p.offset, p.pid, p.continuity_counter, {}});
        seen.back().payload.swap(p.payload);
        p.payload.assign(3, 0xEE);
    }
    std::vector<Seen> seen;
};

// Feeds data through a fresh pipeline in chunks of the sizes next_chunk() gives.
template <class NextChunk>
std::vector<Seen> feed(const Bytes& data, NextChunk next_chunk, uint64_t start = 0) {
    CollectPipe collect;
    TSPipeline pipeline(start);
    pipeline.add_pipe(collect);
    for (size_t at = 0, n = 0; at < data.size(); at += n) {
        n = std::min<size_t>(next_chunk(), data.size() - at);
        pipeline.feed(data.data() + at, n);
    }
    return std::move(collect.seen);
}

std::vector<Seen> feed_in_chunks(const Bytes& data, size_t chunk, uint64_t start = 0) {
    return feed(
        data, [=] { return chunk; }, start);
}

// Packets with no adaptation field, payload filled with a byte that is neither 0x47 nor 0x00.
Bytes packets(uint16_t pid, uint8_t count, uint8_t fill = 0x5A) {
    Bytes out;
    for (uint8_t i = 0; i < count; ++i) {
        const uint8_t header[] = {0x47, static_cast<uint8_t>(pid >> 8 & 0x1F),
                                  static_cast<uint8_t>(pid), static_cast<uint8_t>(0x10 | (i & 15))};
        out.insert(out.end(), std::begin(header), std::end(header));
        out.resize(out.size() + 184, fill);
    }
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint64_t> offsets(const std::vector<Seen>& packets) {
    std::vector<uint64_t> out;
    for (const auto& p : packets)
        out.push_back(p.offset);
    return out;
}

// Every packet came out with the PID, counter and payload of the 188 bytes at its offset (data
// beginning at stream offset start).
void expect_own_bytes(const Bytes& data, const std::vector<Seen>& packets, uint64_t start,
                      const std::string& what) {
    for (const Seen& p : packets) {
        const size_t at = p.offset - start;
        ASSERT_LE(at + 188, data.size()) << what;
        ASSERT_EQ(p.pid, (data[at + 1] & 0x1F) << 8 | data[at + 2]) << what << " at " << at;
        ASSERT_EQ(p.continuity_counter, data[at + 3] & 0x0Fu) << what << " at " << at;
        ASSERT_TRUE(std::equal(p.payload.begin(), p.payload.end(),
                               data.begin() + static_cast<ptrdiff_t>(at + 188 - p.payload.size())))
            << what << " at " << at;
    }
}

// Stray sync bytes, a lost sync byte, a packet cut short, payloads full of sync bytes and an
// adaptation field longer than the packet: any chunking, regular or random, must give the same
// packets. (The real captures below pin down what each fault gives.)
TEST(TSPipeline, ChunkingDoesNotChangeWhatComesOut) {
    Bytes data = Bytes(77, 0x47) + packets(0x60, 4);  // a run of sync bytes, none 188 apart
    data[77 + 188] = 0x00;                            // lost sync byte
    Bytes bad = packets(0x63, 1);
    bad[3] = 0x30;
    bad[4] = 200;
    const Bytes cut = packets(0x61, 1);
    data = data + Bytes(cut.begin(), cut.begin() + 57) + packets(0x62, 4, 0x47) + bad +
           packets(0x64, 1);
    const auto whole = offsets(feed_in_chunks(data, data.size()));
    ASSERT_FALSE(whole.empty());
    EXPECT_EQ(whole.back(), data.size() - 188);
    for (size_t chunk = 1; chunk <= 400; ++chunk)
        ASSERT_EQ(offsets(feed_in_chunks(data, chunk)), whole) << "chunk " << chunk;
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round)
        ASSERT_EQ(offsets(feed(data, [&] { return random() % 500; })), whole) << "round " << round;
}

// Each chunk in its own allocation, as datagrams arrive: the pipeline must never reach back into
// memory before the chunk it was given (feeding slices of one vector hid such a read).
TEST(TSPipeline, ByteByByteFromSeparateBuffersKeepsEveryPacket) {
    Bytes data = packets(0x41, 6);
    for (size_t i = 0; i < 6; ++i)
        std::fill_n(data.begin() + static_cast<ptrdiff_t>(188 * i + 4), 184, 0x20 + i);
    CollectPipe collect;
    TSPipeline pipeline;
    pipeline.add_pipe(collect);
    for (uint8_t byte : data) {
        auto chunk = std::make_unique<uint8_t[]>(1);
        chunk[0] = byte;
        pipeline.feed(chunk.get(), 1);
    }
    ASSERT_EQ(offsets(collect.seen), (std::vector<uint64_t>{0, 188, 376, 564, 752, 940}));
    expect_own_bytes(data, collect.seen, 0, "byte by byte");
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
        const Bytes data = Bytes(extra, 0x22) + packets(0x70, 5);
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

// The real captures, fed in datagrams and in odd chunk sizes, also after 1000 bytes of noise and
// from a start offset: every packet comes out once, at its true position, with its own bytes;
// except packets whose adaptation field claims more than the packet holds (noise in
// tsduck-test-143), which are dropped.
TEST(TSPipelineRealStreams, EveryPacketAtItsTruePositionWhateverTheChunking) {
    for (const char* name :
         {"testdata/ts/video/tsduck-test-025.ts", "testdata/ts/video/tsduck-test-026.ts",
          "testdata/ts/video/tsduck-test-064.ts", "testdata/ts/video/tsduck-test-143.ts",
          "testdata/ts/misc/tsduck-test-018.ts", "testdata/ts/epg/tsduck-test-030.ts"}) {
        CORVID_REQUIRE_SHARED(path, name);
        const auto stream = Corvid::Testing::read_file(path);
        // Sync bytes scattered through the noise, none followed by another 188 bytes later (which
        // no receiver could tell from a packet).
        std::mt19937 random(42);
        Bytes noise(1000);
        for (auto& b : noise)
            b = static_cast<uint8_t>(random() % 0x47);
        for (size_t at = 3; at < noise.size(); at += 37)
            if ((at + 188 < noise.size() ? noise[at + 188] : stream[at + 188 - 1000]) != 0x47)
                noise[at] = 0x47;
        for (size_t shift : {0, 1000}) {
            const Bytes file = shift ? noise + stream : stream;
            const uint64_t start = shift * 1000;  // the stream offset of the file's first byte
            std::vector<uint64_t> expected;
            for (uint64_t at = shift; at + 188 <= file.size(); at += 188)
                if (!((file[at + 3] & 0x20) && file[at + 4] > 183)) expected.push_back(start + at);
            for (size_t chunk : {1316, 1000, 7, 65536}) {
                const std::string what = std::string(name) + " after " + std::to_string(shift) +
                                         " bytes, in chunks of " + std::to_string(chunk);
                const auto seen = feed_in_chunks(file, chunk, start);
                ASSERT_EQ(offsets(seen), expected) << what;
                expect_own_bytes(file, seen, start, what);
            }
        }
    }
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
