// The pipeline fed real captures in chunks of every size of the table and at random; the PES
// header edits, against headers worked out by hand; the conditional-access packets kept.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <random>

#include "indexgen/indexgen.h"
#include "indexgen/tests/support.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::IndexGen {
namespace {

using Corvid::Testing::LogCapture;
using Testing::Bytes;
using Testing::hex;
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
// random sizes), each in an allocation of its own, overwritten once fed, as datagram buffers are:
// the pipeline must never reach back before the chunk it was given (slices of one vector hid it;
// a sanitizer build sees such a read).
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
        std::fill_n(bytes.get(), n, 0xEE);  // what the pipeline kept is its own copy
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

// Real captures after 1000 bytes of noise, with a sync byte lost, from a start offset: every other
// packet comes out once, at its true position, but those whose adaptation field claims more than
// the packet holds (noise in tsduck-test-143).
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

// tsduck-test-142, decoded by hand: off the 188-byte grid, 34780..35720 holds 134 bytes of 0xFF,
// four packets from 34914, and at 35666 a packet cut short by the one at 35720, where the grid
// goes on; the short packet is passed on as read (its sync byte came where one was due).
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

// The elementary stream begins after the announced header data; an unbounded packet leaves -1.
TEST(PESHeader, ReadStopsAtTheFirstElementaryStreamByte) {
    const std::tuple<const char*, size_t, int32_t> cases[] = {
        {"00 00 01 e0 00 00 84 c0 0a 31 00 05 bf 21 11 00 05 a7 a1 00", 19, -1},
        {"00 00 01 c3 00 18 95 80 08 21 00 01 00 01 ff ff ff 55", 17, 13},
        {"00 00 01 e0 00 10 80 00 03 ff ff ff 00", 12, 10}};
    for (const auto& [bytes, position, left] : cases) {
        const Bytes in = hex(bytes);
        Gantry::Channel::BlockReader reader(in.data(), in.size());
        PESHeader h;
        int32_t remaining = 0;
        EXPECT_TRUE(read_pes_header(reader, h, remaining) && reader.offset() == position &&
                    remaining == left)
            << bytes;
    }
}

PacketRecord record_with(const Bytes& payload, uint32_t es_offset, double pcr = -1) {
    PacketRecord r;
    r.packet.payload = payload;
    r.packet.payload_unit_start = true;
    r.packet.pcr = pcr;
    r.es_offset = es_offset;
    return r;
}

// PTS, DTS and 3 more header bytes (H = 13): clearing moves the 3 bytes down to bytes 9..11 and
// stuffs 12..21; a PTS inserted afterwards (2.5 s = 225000 ticks: 6 << 15 | 0x6ee8) reuses the
// stuffing. With no timestamps and H = 0 the PTS needs 5 new bytes: a full payload becomes 189.
TEST(PESEdits, ClearAndInsert) {
    const Bytes es = hex("00 00 01 b3 14 00 f0 13");
    PacketRecord r = record_with(
        hex("00 00 01 e0 00 00 84 c0 0d 31 00 05 bf 21 11 00 05 a7 a1 a1 a2 a3") + es, 22, 2.5);
    ASSERT_TRUE(clear_pts_dts(r));
    EXPECT_EQ(r.packet.payload, hex("00 00 01 e0 00 00 84 00 0d a1 a2 a3") + Bytes(10, 0xFF) + es);
    EXPECT_FALSE(clear_pts_dts(r));  // nothing left to clear
    ASSERT_TRUE(insert_pts(r));
    EXPECT_EQ(r.packet.payload,
              hex("00 00 01 e0 00 00 84 80 0d 21 00 0d dd d1 a1 a2 a3") + Bytes(5, 0xFF) + es);
    EXPECT_EQ(r.es_offset, 22u);

    Bytes full(175);
    std::iota(full.begin(), full.end(), 1);
    PacketRecord grown = record_with(hex("00 00 01 e0 00 00 80 00 00") + full, 9, 1.0);
    ASSERT_TRUE(insert_pts(grown));
    EXPECT_EQ(grown.packet.payload, hex("00 00 01 e0 00 00 80 80 05 21 00 05 bf 21") + full);
    EXPECT_EQ(grown.es_offset, 14u);
}

// Below 6 bytes the length is 0, never negative; beyond 65535 it does not fit: 0.
TEST(PESEdits, SetPesLength) {
    PacketRecord first = record_with(hex("00 00 01 e0 00 00 80 00 00"), 9);
    for (auto [total, length] : {std::pair{1000, 994}, {5, 0}, {65541, 65535}, {65542, 0}}) {
        first.modified = false;
        EXPECT_TRUE(set_pes_length(first, static_cast<uint64_t>(total)) && first.modified);
        EXPECT_EQ(first.packet.payload[4] << 8 | first.packet.payload[5], length) << total;
    }
    EXPECT_FALSE(set_pes_length(first, 65542));  // no change
}

// An H.264 entry's header data: a PES packet of 9 + 5 + 300 bytes, PTS and PCR 12 s (PTS 21 00 41
// f5 81, PCR base 0x83d60 << 1, 7e 00); after 8-byte adaptation fields (length, flags, PCR) the
// first packet carries 176 bytes, the second 38 stuffing bytes and the last 138.
TEST(PESVideoHeader, PacketsCarryHeaderDataWithPtsAndPcr) {
    Bytes data(300);
    std::iota(data.begin(), data.end(), 0);
    uint32_t counter = 5;
    const std::string out =
        make_video_header_packets(std::string(data.begin(), data.end()), 0x100, 12.7, counter);
    EXPECT_EQ(counter, 7u);
    const Bytes pcr = hex("00 08 3d 60 7e 00"), first(data.begin(), data.begin() + 162);
    EXPECT_EQ(Bytes(out.begin(), out.end()),
              hex("47 41 00 35 07 90") + pcr + hex("00 00 01 e0 01 34 80 80 05 21 00 41 f5 81") +
                  first + hex("47 01 00 36 2d 10") + pcr + Bytes(38, 0xFF) +
                  Bytes(data.begin() + 162, data.end()));
}

std::vector<std::pair<MPEG::TSPacket, std::string>> packets_of(const std::string& path,
                                                               uint16_t pid) {
    const Bytes file = Corvid::Testing::read_file(path);
    std::vector<std::pair<MPEG::TSPacket, std::string>> out;
    for (const MPEG::TSPacket& p : feed(file, 65536, 0).packets)
        if (p.pid == pid) out.emplace_back(p, std::string(&file[p.offset], &file[p.offset] + 188));
    return out;
}

// tsduck-test-030's one-packet CAT, re-emitted, is the same packet but for its counter; with a bad
// CRC it is not kept. The latest packet of the CA PID is kept as sent (those of 0x1ec5 in
// tsduck-test-018 stand in for an ECM stream).
TEST(CAPackets, CatReEmittedAndLatestCaPacketKept) {
    CORVID_REQUIRE_SHARED(cat_capture, "testdata/ts/epg/tsduck-test-030.ts");
    CORVID_REQUIRE_SHARED(ca_capture, "testdata/ts/misc/tsduck-test-018.ts");
    const auto cat = packets_of(cat_capture, 1);
    ASSERT_EQ(cat.size(), 35u);
    LogCapture log;
    CAPackets ca;
    auto broken = cat[0].first;
    broken.payload[20] ^= 0x01;
    ca.handle_cat(broken);
    EXPECT_TRUE(ca.cat_packets().empty());
    for (const auto& [packet, bytes] : cat)
        ca.handle_cat(packet);
    std::string expected = cat.back().second;
    expected[3] = ca.cat_packets()[3];
    EXPECT_EQ(ca.cat_packets(), expected);

    ca.set_ca_pid(0x1EC5);
    for (const auto& [packet, bytes] : packets_of(ca_capture, 0x1EC5)) {
        ca.handle_ca(packet);
        EXPECT_EQ(ca.ca_packets(), bytes);
    }
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"2 Found CAT", "2 Capturing CA data from PID: 7877"}));
}

}  // namespace
}  // namespace Corvid::IndexGen
