// The PES header edits, against headers worked out by hand (the headers of real streams are read
// against ffprobe's timestamps in the keyframe tests), and the conditional-access packets kept,
// from real captures.
#include <gtest/gtest.h>

#include <numeric>

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

// The packets of an H.264 entry's header data. The PES packet is 9 + 5 + 300 = 314 bytes; PTS and
// PCR are 12 s (1080000 ticks: PTS 21 00 41 f5 81, PCR base 0x83d60 << 1 then 7e 00). Each packet's
// adaptation field has 8 bytes (length, flags, PCR): the first carries 176 bytes, the second the
// last 138 after 38 stuffing bytes.
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

// The packets of one PID in a capture, with their bytes.
std::vector<std::pair<MPEG::TSPacket, std::string>> packets_of(const char* name, uint16_t pid) {
    const auto file = Corvid::Testing::read_file(Corvid::Testing::shared_path(name));
    std::vector<std::pair<MPEG::TSPacket, std::string>> out;
    for (size_t at = 0; at + 188 <= file.size(); at += 188) {
        Gantry::Channel::BlockReader reader(file.data() + at, 188);
        MPEG::TSPacket packet;
        if (MPEG::TSPacket::read(reader, packet) && packet.pid == pid)
            out.emplace_back(packet, std::string(file.begin() + static_cast<ptrdiff_t>(at),
                                                 file.begin() + static_cast<ptrdiff_t>(at + 188)));
    }
    return out;
}

// tsduck-test-030 carries a one-packet CAT with four CA descriptors: re-emitted, it is the same
// packet but for its counter; a CAT with a bad CRC is not kept.
// The latest packet of the CA PID is kept as sent (those of 0x1ec5 in tsduck-test-018 stand in for
// an ECM stream).
TEST(CAPackets, CatReEmittedAndLatestCaPacketKept) {
    CORVID_REQUIRE_SHARED(cat_capture, "testdata/ts/epg/tsduck-test-030.ts");
    CORVID_REQUIRE_SHARED(ca_capture, "testdata/ts/misc/tsduck-test-018.ts");
    const auto cat = packets_of("testdata/ts/epg/tsduck-test-030.ts", 1);
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
    for (const auto& [packet, bytes] : packets_of("testdata/ts/misc/tsduck-test-018.ts", 0x1EC5)) {
        ca.handle_ca(packet);
        EXPECT_EQ(ca.ca_packets(), bytes);
    }
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"2 Found CAT", "2 Capturing CA data from PID: 7877"}));
}

}  // namespace
}  // namespace Corvid::IndexGen
