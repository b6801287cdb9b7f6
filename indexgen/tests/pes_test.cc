#include <gtest/gtest.h>

#include <numeric>

#include "gantry/channel/block.h"
#include "indexgen/indexgen.h"
#include "indexgen/tests/parser_support.h"
#include "tests/support/log_capture.h"

namespace Corvid::IndexGen {
namespace {

using Corvid::Testing::LogCapture;
using Testing::Bytes;
using Testing::hex;
using Testing::operator+;

// Timestamps worked out by hand: 31 00 05 bf 21 holds 2 << 15 | 0x5f90 = 90000 ticks (1 s);
// 11 00 05 a7 a1 holds 2 << 15 | 0x53d0 = 86992 ticks.
const Bytes video_header = hex("00 00 01 e0 00 00 84 c0 0a 31 00 05 bf 21 11 00 05 a7 a1");

TEST(PESHeader, ReadsWholeHeadersAndRefusesPartOfOne) {
    struct Case {
        const char* what;
        Bytes bytes;
        uint32_t kind, stream_number, scrambling;
        bool aligned;
        double pts, dts;
        int32_t remaining;
        uint64_t position;
    } cases[] = {
        {"video", video_header + hex("00 00 01 b3"), PESHeader::video, 0, 0, true, 1.0,
         86992 / 90000.0, -1, 19},  // unbounded video PES packet
        // Audio stream 3, scrambling 1, alignment, PTS of 0, 3 stuffing bytes; length 24.
        {"audio", hex("00 00 01 c3 00 18 95 80 08 21 00 01 00 01 ff ff ff 55"), PESHeader::audio, 3,
         1, true, 0.0, -1.0, 24 - 3 - 8, 17},
        // Private stream 2 (0xbf): no optional header; its data is skipped.
        {"private stream 2", hex("00 00 01 bf 00 03 aa bb cc"), PESHeader::other, 0xBF, 0, false,
         -1.0, -1.0, 0, 9},
    };
    for (const Case& c : cases) {
        Gantry::Channel::BlockReader reader(c.bytes.data(), c.bytes.size());
        PESHeader h;
        int32_t remaining = 12345;
        ASSERT_TRUE(read_pes_header(reader, h, remaining)) << c.what;
        EXPECT_EQ(h.kind, c.kind) << c.what;
        EXPECT_EQ(h.stream_number, c.stream_number) << c.what;
        EXPECT_EQ(h.scrambling, c.scrambling) << c.what;
        EXPECT_EQ(h.data_alignment, c.aligned) << c.what;
        EXPECT_DOUBLE_EQ(h.pts, c.pts) << c.what;
        EXPECT_DOUBLE_EQ(h.dts, c.dts) << c.what;
        EXPECT_EQ(remaining, c.remaining) << c.what;
        EXPECT_EQ(reader.offset(), c.position) << c.what;
    }
    for (const char* bad : {"00 00 02 e0 00 00 80 80 05 21 00 01 00 01",  // no start code
                            "00 00 01 e0 00 00 80 80 05 21 00",           // ends in the PTS
                            "00 00 01 e0 00 00 80 00 09 ff ff",           // ends in stuffing
                            "00 00 01 bd 01 00 aa",  // other stream data beyond the packet
                            "00 00"}) {
        const Bytes bytes = hex(bad);
        Gantry::Channel::BlockReader reader(bytes.data(), bytes.size());
        PESHeader h;
        int32_t remaining = 0;
        EXPECT_FALSE(read_pes_header(reader, h, remaining)) << bad;
    }
}

Bytes write(const PESHeader& header, int64_t payload_length) {
    uint8_t buffer[64];
    Gantry::Channel::BlockWriter writer(buffer, sizeof buffer);
    EXPECT_TRUE(write_pes_header(writer, header, payload_length));
    return Bytes(buffer, buffer + writer.offset());
}

TEST(PESHeader, WritesHeadersAndTheirLengths) {
    PESHeader h;
    h.kind = PESHeader::video;
    h.data_alignment = true;
    h.pts = 1.0;
    h.dts = 86992 / 90000.0;
    // Length 100 + 10 + 3 = 0x71.
    EXPECT_EQ(write(h, 100), hex("00 00 01 e0 00 71 84 c0 0a 31 00 05 bf 21 11 00 05 a7 a1"));
    EXPECT_EQ(write(h, -1), video_header);  // unbounded
    EXPECT_EQ(write(h, 65523)[5], 0);       // 65523 + 13 does not fit
    EXPECT_EQ(write(h, 65522)[5], 0xFF);    // 65535 does

    PESHeader none;
    none.kind = PESHeader::video;
    EXPECT_EQ(write(none, 0), hex("00 00 01 e0 00 03 80 00 00"));
    // A stream without optional header: the length counts the data only.
    PESHeader other;
    other.kind = PESHeader::other;
    other.stream_number = 0xBE;
    EXPECT_EQ(write(other, 20), hex("00 00 01 be 00 14"));

    uint8_t small[10];
    Gantry::Channel::BlockWriter full(small, sizeof small);
    EXPECT_FALSE(write_pes_header(full, h, 0));
}

PacketRecord record_with(const Bytes& payload, uint32_t es_offset) {
    PacketRecord r;
    r.packet.payload = payload;
    r.packet.payload_unit_start = true;
    r.es_offset = es_offset;
    return r;
}

const Bytes es_start = hex("00 00 01 b3 14 00 f0 13");

// PTS, DTS and 3 more header bytes (H = 13): clearing moves the 3 bytes down to bytes 9..11 and
// stuffs 12..21; a PTS inserted afterwards reuses the stuffing without growing the payload.
TEST(PESEdits, ClearThenInsertReusesTheFreedBytes) {
    const Bytes header = hex("00 00 01 e0 00 00 84 c0 0d 31 00 05 bf 21 11 00 05 a7 a1 a1 a2 a3");
    PacketRecord r = record_with(header + es_start, 22);
    ASSERT_TRUE(clear_pts_dts(r));
    EXPECT_EQ(r.packet.payload,
              hex("00 00 01 e0 00 00 84 00 0d a1 a2 a3 ff ff ff ff ff ff ff ff ff ff") + es_start);
    EXPECT_EQ(r.freed_header_bytes, 10u);
    EXPECT_FALSE(clear_pts_dts(r));  // nothing left to clear

    // 2.5 s = 225000 ticks: 225000 >> 15 = 6, 225000 & 0x7fff = 0x6ee8.
    r.packet.pcr = 2.5;
    ASSERT_TRUE(insert_pts(r));
    EXPECT_EQ(r.packet.payload,
              hex("00 00 01 e0 00 00 84 80 0d 21 00 0d dd d1 a1 a2 a3 ff ff ff ff ff") + es_start);
    EXPECT_EQ(r.es_offset, 22u);
    EXPECT_EQ(r.freed_header_bytes, 5u);
}

// No timestamps and H = 0: the PTS needs 5 new bytes, and a full 184-byte payload becomes 189.
TEST(PESEdits, InsertGrowsThePayloadWhenNothingWasFreed) {
    Bytes es(175);
    std::iota(es.begin(), es.end(), 1);
    PacketRecord r = record_with(hex("00 00 01 e0 00 00 80 00 00") + es, 9);
    r.packet.pcr = 1.0;
    ASSERT_TRUE(insert_pts(r));
    EXPECT_EQ(r.packet.payload, hex("00 00 01 e0 00 00 80 80 05 21 00 05 bf 21") + es);
    EXPECT_EQ(r.es_offset, 14u);
}

TEST(PESEdits, RefusalsLeaveTheRecordAsItWas) {
    LogCapture log;
    PacketRecord short_payload = record_with(hex("00 00 01 e0 00 00 80"), 7);
    EXPECT_FALSE(clear_pts_dts(short_payload));
    PacketRecord long_header = record_with(hex("00 00 01 e0 00 00 80 80 20 21 00 05 bf 21"), 14);
    EXPECT_FALSE(clear_pts_dts(long_header));
    EXPECT_EQ(
        log.lines(),
        (std::vector<std::string>{
            "1 Could not clear PTS and DTS from PES (payload shorter than min PES header length)",
            "1 Could not clear PTS and DTS from PES (PES header larger than TS)"}));

    const Bytes with_pts = hex("00 00 01 e0 00 00 80 80 05 21 00 05 bf 21") + es_start;
    PacketRecord not_a_start = record_with(with_pts, 0);
    EXPECT_FALSE(clear_pts_dts(not_a_start));
    not_a_start.packet.pcr = 3.0;
    EXPECT_FALSE(insert_pts(not_a_start));
    EXPECT_EQ(not_a_start.packet.payload, with_pts);

    // Payload bytes that only look like a PES start because es_offset says so are not edited.
    PacketRecord garbage = record_with(hex("12 34 56 78 00 00 80 c0 0a") + Bytes(20, 0x11), 4);
    EXPECT_FALSE(clear_pts_dts(garbage));

    // Inserting while the timestamps are still there (clearing failed) would leave two.
    PacketRecord still_stamped = record_with(with_pts, 14);
    still_stamped.packet.pcr = 3.0;
    EXPECT_FALSE(insert_pts(still_stamped));
    // Without a PCR there is nothing to insert.
    PacketRecord no_pcr = record_with(hex("00 00 01 e0 00 00 80 00 00") + es_start, 9);
    EXPECT_FALSE(insert_pts(no_pcr));
    EXPECT_EQ(no_pcr.packet.payload, hex("00 00 01 e0 00 00 80 00 00") + es_start);
    EXPECT_EQ(log.lines().size(), 2u);
}

TEST(PESEdits, SetPesLength) {
    PacketRecord first = record_with(hex("00 00 01 e0 00 00 80 00 00") + es_start, 9);
    // Below 6 bytes the length is 0, never negative; beyond 65535 it does not fit: 0.
    for (auto [total, length] : {std::pair{1000, 994}, {5, 0}, {65541, 65535}, {65542, 0}}) {
        first.modified = false;
        EXPECT_TRUE(set_pes_length(first, static_cast<uint64_t>(total)) && first.modified);
        EXPECT_EQ(first.packet.payload[4] << 8 | first.packet.payload[5], length) << total;
    }
    first.modified = false;
    EXPECT_FALSE(set_pes_length(first, 65542));  // no change
    EXPECT_FALSE(first.modified);

    // Over the records of a PES packet: only those classified intra count.
    std::vector<PacketRecord> records(4, record_with(Bytes(184, 0x33), 0));
    records[0] = record_with(hex("00 00 01 e0 00 00 80 00 00") + Bytes(175, 0x44), 9);
    records[0].state = records[1].state = records[3].state = PacketRecord::intra;
    records[2].state = PacketRecord::not_intra;
    records[3].packet.payload.resize(100);
    EXPECT_TRUE(set_pes_length(records.begin(), records.end()));
    EXPECT_EQ(records[0].packet.payload[4] << 8 | records[0].packet.payload[5],
              184 + 184 + 100 - 6);
}

// The packets built for an H.264 entry, worked out by hand. The PES packet is 9 + 5 + 300 = 314
// bytes; the PTS is 12 s (1080000 ticks: 21 00 41 f5 81), the PCR 12 s (base 1080000, written as
// 1080000 >> 1 = 0x83d60 then 7e 00). Each packet's adaptation field has 8 bytes (length,
// flags, PCR), so the first carries 176 bytes, the second the last 138 after 38 stuffing bytes.
TEST(PESVideoHeader, PacketsCarryHeaderDataWithPtsAndPcr) {
    std::string header_data(300, '\0');
    for (size_t i = 0; i < header_data.size(); ++i)
        header_data[i] = static_cast<char>(i);
    uint32_t counter = 5;
    const std::string out = make_video_header_packets(header_data, 0x100, 12.7, counter);
    ASSERT_EQ(out.size(), 376u);
    EXPECT_EQ(counter, 7u);
    const Bytes bytes(out.begin(), out.end());
    const Bytes data(header_data.begin(), header_data.end());
    const auto part = [&](size_t from, size_t to) {
        return Bytes(bytes.begin() + static_cast<ptrdiff_t>(from),
                     bytes.begin() + static_cast<ptrdiff_t>(to));
    };
    const Bytes pcr = hex("00 08 3d 60 7e 00");
    EXPECT_EQ(part(0, 12), hex("47 41 00 35 07 90") + pcr);
    EXPECT_EQ(part(12, 26), hex("00 00 01 e0 01 34 80 80 05 21 00 41 f5 81"));
    EXPECT_EQ(part(26, 188), Bytes(data.begin(), data.begin() + 162));
    EXPECT_EQ(part(188, 200), hex("47 01 00 36 2d 10") + pcr);
    EXPECT_EQ(part(200, 238), Bytes(38, 0xFF));
    EXPECT_EQ(part(238, 376), Bytes(data.begin() + 162, data.end()));

    // Empty header data still makes one packet.
    counter = 15;
    const std::string empty = make_video_header_packets("", 0x1FFF, 0.4, counter);
    ASSERT_EQ(empty.size(), 188u);
    EXPECT_EQ(counter, 0u);
    EXPECT_EQ(static_cast<uint8_t>(empty[3]), 0x3F);
}

}  // namespace
}  // namespace Corvid::IndexGen
