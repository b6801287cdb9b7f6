#include <gtest/gtest.h>

#include <algorithm>

#include "indexgen/indexgen.h"
#include "indexgen/tests/parser_support.h"
#include "tests/support/log_capture.h"

namespace Corvid::IndexGen {
namespace {

using Corvid::Testing::LogCapture;
using Testing::BitWriter;
using Testing::Bytes;
using Testing::Feed;
using Testing::hex;
using Testing::Record;
using Testing::operator+;
using Marks = std::vector<std::pair<size_t, bool>>;

// Baseline SPS with log2_max_frame_num_minus4 = 1: frame_num has 5 bits.
Bytes make_sps() {
    BitWriter w;
    w.bits(66, 8).bits(0xC0, 8).bits(30, 8).ue(0);  // profile, constraints, level, id
    w.ue(1);                                        // log2_max_frame_num_minus4
    w.ue(2).ue(1).bit(false).ue(39).ue(22).bit(true).bit(true).bit(false).bit(false).trailing();
    return w.nal(0x67, true);
}

const Bytes sps = make_sps();
const Bytes pps = hex("00 00 01 68 ce 3c 80");
const Bytes aud = hex("00 00 00 01 09 f0");
const Bytes head = aud + sps + pps;
const Bytes pic_timing_sei = hex("00 00 01 06 01 01 24 80");

// A slice NAL unit: header byte (0x65 IDR, 0x41 referenced non-IDR, 0x01 not referenced), a
// slice header with the given frame_num, and filler data.
Bytes slice(uint8_t header, uint32_t frame_num, uint32_t first_mb = 0, size_t filler = 20) {
    BitWriter w;
    w.ue(first_mb).ue(header == 0x65 ? 7 : 5).ue(0).bits(frame_num, 5);
    w.bits(0x2A, 6);
    for (size_t i = 0; i < filler; ++i)
        w.bits(0xA5, 8);
    return w.trailing().nal(header);
}

Bytes recovery_sei(uint32_t count) {
    BitWriter payload;
    payload.ue(count).bit(true).bit(false).bits(0, 2).trailing();
    // NAL header, payload type 6, payload size, payload, rbsp trailing bits.
    return hex("00 00 01 06 06") + Bytes{static_cast<uint8_t>(payload.bytes().size())} +
           payload.bytes() + hex("80");
}

size_t at(const Bytes& es, const Bytes& part, size_t from = 0) {
    auto it =
        std::search(es.begin() + static_cast<ptrdiff_t>(from), es.end(), part.begin(), part.end());
    EXPECT_NE(it, es.end());
    return static_cast<size_t>(it - es.begin());
}

// An entry starts at the first slice of an IDR picture, or of a referenced picture with a recovery
// point SEI, once SPS and PPS have been seen; it ends on the last byte of the picture's last slice.
// It carries the delimiter, SPS, PPS and SEI units of its own access unit.
TEST(H264Parser, EntriesAndTheirHeaderUnits) {
    const Bytes idr = slice(0x65, 0), idr_b = slice(0x65, 0, 0, 21), p = slice(0x41, 1);
    const Bytes before_sps = aud + idr + aud + sps + pps + idr_b + aud + p;
    // Consecutive IDR pictures all have frame_num 0; each begins with a slice whose
    // first_mb_in_slice is 0, and each is an entry (an intra-only stream would otherwise make one
    // entry that never ends). The second carries the SPS and PPS seen last.
    const Bytes first_au = head + idr + aud, second_au = idr_b + aud + p + aud + slice(0x41, 2);
    const Bytes consecutive = first_au + second_au;
    const Bytes s1 = slice(0x65, 0, 40), s2 = slice(0x65, 0, 80), p1 = slice(0x41, 1, 40);
    const Bytes slices = sps + pps + idr + s1 + s2 + p + p1;
    // (Recovery points at referenced pictures, SEI units kept in order and recovery periods are
    // checked against ffprobe in the real stream tests.)
    const Bytes unreferenced =
        sps + pps + recovery_sei(0) + slice(0x01, 3) + slice(0x41, 4) + slice(0x41, 5);
    // Units that arrive while a picture is open are not collected: the next entry carries only
    // the delimiter and SEI of its own access unit, with the SPS and PPS seen last.
    const Bytes inner_sei = hex("00 00 01 06 05 02 11 22 80");
    const Bytes own_sei = hex("00 00 01 06 05 02 33 44 80");
    const Bytes idr2 = slice(0x65, 0, 0, 25);
    const Bytes open = head + idr + inner_sei + hex("00 00 01 68 ee 3c 80") + s1 + aud + p + aud +
                       own_sei + idr2 + aud + p;
    // Most broadcast SEI units carry picture timing only: no entry, and no log line.
    Bytes timing_only = head;
    for (uint32_t n = 0; n < 5; ++n)
        timing_only = timing_only + aud + pic_timing_sei + slice(0x41, n);
    const Bytes pes_header = hex("00 00 01 e0 00 00 80 00 00");

    struct Case {
        const char* what;
        std::vector<Record> records;
        Marks marks;
        std::vector<Bytes> headers;
        size_t split = 0;  // the one record cut into records of this size
    } cases[] = {
        {"IDR before SPS and PPS is no entry",
         {{before_sps}},
         {{at(before_sps, idr_b), false}, {at(before_sps, aud + p) - 1, true}},
         {head}},
        {"consecutive IDR pictures",  // one PES packet (and record) each, as muxers write them
         {{first_au}, {second_au}},
         {{head.size(), false},
          {at(consecutive, aud + idr_b) - 1, true},
          {at(consecutive, idr_b), false},
          {at(consecutive, aud + p) - 1, true}},
         {head, sps + pps}},
        {"every slice of the picture",
         {{slices}},
         {{at(slices, idr), false}, {at(slices, p) - 1, true}},
         {sps + pps}},
        {"recovery point before an unreferenced slice", {{unreferenced}}, {}, {}},
        {"units inside an open picture",
         {{open}},
         {{head.size(), false},
          {at(open, aud + p) - 1, true},
          {at(open, idr2), false},
          {at(open, aud, at(open, idr2)) - 1, true}},
         {head, head + own_sei},
         40},
        // A PCR-only packet of the video PID between the last slice and the next delimiter (as
        // muxers at a constant rate send): the picture still ends on the last slice byte.
        {"records without video bytes",
         {{head + idr}, {{}}, {pes_header + aud + p, 9}},
         {{head.size(), false}, {head.size() + idr.size() - 1, true}},
         {head}},
        // The open picture is taken to run to the end of the scrambled record.
        {"scrambled records get no marks",
         {{head + idr}, {hex("00 00 01 65 00 00 01 09 00 00 01 41"), 0, 3}, {p}},
         {{head.size(), false}, {head.size() + idr.size() + 11, true}},
         {head}},
        {"picture timing SEI only", {{timing_only}}, {}, {}},
    };
    LogCapture log;
    for (const Case& c : cases) {
        H264Parser parser;
        Feed feed(parser);
        if (c.split) {
            feed.add_split(c.records[0].payload, c.split);
        } else {
            feed.add(c.records);
        }
        EXPECT_EQ(feed.marks(), c.marks) << c.what;
        EXPECT_EQ(feed.headers(), c.headers) << c.what;
        EXPECT_EQ(parser.frame_num_length(), 5u) << c.what;
    }
    EXPECT_TRUE(log.lines().empty());
}

// The same stream cut into records of every size from 5 to 70 bytes and of a whole packet's 184:
// the same marks at the same stream positions, the same header data. Start codes are searched
// in windows of 64 bytes; shifting the stream by up to 64 bytes of filler (with lone 0x01 and
// 00 01 bytes, which begin nothing) moves every start code across the windows' edges.
TEST(H264Parser, MarksDoNotDependOnHowTheStreamIsCut) {
    const Bytes body = hex("12 34") + head + pic_timing_sei + slice(0x65, 0, 0, 50) +
                       slice(0x65, 0, 60, 50) + aud + pic_timing_sei + slice(0x41, 1) + aud +
                       recovery_sei(0) + slice(0x41, 2, 0, 70) + aud + slice(0x01, 3) + aud + sps +
                       pps + slice(0x65, 0, 0, 10) + aud + slice(0x41, 1);
    // Each entry's header units; a whole-stream record keeps those of its last entry only.
    const std::vector<Bytes> headers = {head + pic_timing_sei, head + recovery_sei(0), head};
    for (size_t lead = 0; lead <= 64; ++lead) {
        Bytes es;
        for (size_t k = 0; k < lead; ++k)
            es.push_back(hex("5a 01 00 01")[k % 4]);
        es = es + body;
        H264Parser parser;
        Feed feed(parser);
        feed.add(es);
        const Marks whole = feed.marks();
        ASSERT_EQ(whole.size(), 6u) << "lead " << lead;
        EXPECT_EQ(feed.headers(), std::vector<Bytes>{headers.back()}) << "lead " << lead;
        for (size_t size : Testing::record_sizes(5, 70, {184})) {
            H264Parser parser;
            Feed feed(parser);
            feed.add_split(es, size);
            EXPECT_EQ(feed.marks(), whole) << "lead " << lead << ", records of " << size;
            // A 184-byte record can hold the start of two entries and keeps the header units of
            // the last, as the whole stream does; shorter records hold one start each.
            if (size <= 70) {
                EXPECT_EQ(feed.headers(), headers) << "lead " << lead << ", records of " << size;
            }
            EXPECT_LE(feed.held(), 3u);
        }
    }
}

// The record holding a possible end of the picture stays held, however many records follow
// before the next picture's first slice header, and is released once the end mark is in.
TEST(H264Parser, HoldsTheEndCandidateUntilThePictureEnds) {
    H264Parser parser;
    Feed feed(parser);
    feed.add(head + slice(0x65, 0, 0, 5) + slice(0x65, 0, 30, 5));  // record 0
    // Record 1: the delimiter after the last slice: the picture may end on record 0's last byte.
    feed.add(aud);
    feed.add(Bytes{});  // no video bytes: released at once
    EXPECT_EQ(feed.records[2].state, PacketRecord::released);
    for (int i = 0; i < 10; ++i) {
        feed.add(hex("5a 5a 5a 5a"));
        EXPECT_EQ(feed.records[0].state, PacketRecord::held) << i;
        EXPECT_EQ(feed.records[1].state, PacketRecord::released) << i;
        EXPECT_LE(feed.held(), 3u);
    }
    feed.add(slice(0x41, 1));
    EXPECT_EQ(feed.records[0].state, PacketRecord::released);
    EXPECT_EQ(feed.held(), 1u);
    const auto marks = feed.marks();
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks[1], std::make_pair(feed.records[0].packet.payload.size() - 1, true));
}

// An SPS that cannot be read leaves frame_num without bits, so pictures are not told apart and
// the entry stays open.
TEST(H264Parser, UnreadableSpsLeavesTheEntryOpen) {
    LogCapture log;
    H264Parser parser;
    Feed feed(parser);
    feed.add(hex("00 00 01 67 64") + pps + slice(0x65, 0) + slice(0x41, 1) + slice(0x41, 2));
    EXPECT_EQ(parser.frame_num_length(), 0u);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"1 Could not read frame num length from SPS"});
    ASSERT_EQ(feed.marks().size(), 1u);
    EXPECT_FALSE(feed.marks()[0].second);
}

// Units are collected until the next start code; a stream that sends none, or endless SEI units
// and no slice, must not make the parser grow without bound.
TEST(H264Parser, CollectedUnitsAreBounded) {
    H264Parser parser;
    Feed feed(parser);
    feed.add(head + hex("00 00 01 06 05"));
    const Bytes filler(184, 0xAA);
    for (int i = 0; i < 2000; ++i)  // 368 kB of one SEI unit
        feed.add(filler);
    Bytes small_seis;
    for (int i = 0; i < 200; ++i)
        small_seis = small_seis + hex("00 00 01 06 05 20") + Bytes(32, 0x55) + hex("80");
    for (int i = 0; i < 30; ++i)  // 240 kB of small SEI units
        feed.add(small_seis);
    feed.add(slice(0x65, 0) + aud + slice(0x41, 1));
    ASSERT_TRUE(feed.records.back().has_header_start);
    const Bytes header = feed.headers().back();
    EXPECT_LE(header.size(), head.size() + H264Parser::max_unit_size);
    EXPECT_TRUE(header.size() >= head.size() &&
                std::equal(head.begin(), head.end(), header.begin()));
}

int32_t recovery_point(const Bytes& nal) {
    return read_recovery_point(nal.data(), nal.size());
}

// 4:4:4 (chroma_format_idc 3) has twelve scaling lists; the four chroma lists of 8x8 blocks come
// before log2_max_frame_num_minus4 and must be skipped too.
Bytes sps_444() {
    BitWriter w;
    w.bits(244, 8).bits(0, 8).bits(40, 8).ue(0);  // High 4:4:4 Predictive
    w.ue(3).bit(false).ue(2).ue(2).bit(false);    // chroma 3, separate planes off, depths
    w.bit(true);                                  // seq_scaling_matrix_present_flag
    for (int i = 0; i < 12; ++i) {
        w.bit(true);  // list present
        for (int j = 0; j < (i < 6 ? 16 : 64); ++j)
            w.se(j == 0 ? 8 : 1);  // 16, 17, 18 ... never 0
    }
    w.ue(7);  // log2_max_frame_num_minus4
    w.ue(0).ue(4).ue(1).bit(false).ue(79).ue(44);
    return w.bit(true).bit(true).bit(false).bit(false).trailing().nal(0x67);
}

// The SPS units of the real captures were cut from them and decoded by hand; the lengths agree
// with the slice headers of the same streams: read with that many bits, frame_num runs 120, 121,
// 122 ... in tsduck-test-026 and 4, 5, 6 ... in tsduck-test-143.
TEST(H264Headers, FrameNumLength) {
    // seq_parameter_set_id ue(255) starts with eight zero bits right after level_idc 0, so the
    // escaped unit holds 00 00 03 00, which must be removed before reading.
    BitWriter escaped, too_long;
    const Bytes escaped_sps =
        escaped.bits(66, 8).bits(0, 8).bits(0, 8).ue(255).ue(5).trailing().nal(0x67);
    at(escaped_sps, {0, 0, 3});  // escaped as it should be
    too_long.bits(66, 8).bits(0, 8).bits(30, 8).ue(0).ue(40).trailing();
    const struct {
        const char* what;
        Bytes nal;
        unsigned length;
    } cases[] = {
        {"tsduck-test-064: Baseline (66), log2_max_frame_num_minus4 = 0",
         hex("00 00 00 01 67 42 c0 28 da 01 e0 08 9f 97 01 10 00 00 03 00 10 00 00 03 03 ce 06 00 "
             "0f 42 40 01 e8 4e 6c 20 07 8c 19 50"),
         4},
        // Lists 0, 1, 4 and 6 present, some of them ended early by a next_scale of 0.
        {"tsduck-test-026: High (100) with a scaling matrix",
         hex("00 00 01 67 64 00 28 ad 90 a4 70 80 32 0b 8d 06 00 e8 3a 40 e7 21 20 83 03 47 fc 8c "
             "11 08 08 12 14 24 a1 01 02 41 46 ff f4 d1 02 01 14 e8 3c 13 3b 10 16 1a 39 0b 12 32 "
             "20 70 e1 61 32 05 02 63 e1 60 f0 66 38 ca c1 58 e0 4c 20 58 d0 a0 74 41 8e 2c c5 01 "
             "e0 11 3f 78 0f 08 08 08 0f 80 00 00 03 00 80 00 00 19 4a"),
         8},
        {"tsduck-test-143: High, no scaling matrix",
         hex("00 00 01 67 64 00 28 ac 72 14 07 80 44 7d e0 2d 10 00 00 03 00 10 00 00 03 03 29 cb "
             "1c 30 85 80"),
         6},
        {"4:4:4 with twelve scaling lists", sps_444(), 11},
        {"emulation prevention", escaped_sps, 9},
        {"ends early", hex("00 00 01 67 64 00"), 0},
        {"no SPS at all", hex("00 00 01 68 ce 3c 80"), 0},
        {"frame_num of 44 bits", too_long.nal(0x67), 0},
    };
    LogCapture log;
    for (const auto& c : cases)
        EXPECT_EQ(read_frame_num_length(c.nal.data(), c.nal.size()), c.length) << c.what;
    const std::string line = "1 Could not read frame num length from SPS";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{line, line, line}));
}

TEST(H264Headers, RecoveryPoints) {
    LogCapture log;
    // tsduck-test-026: buffering period (type 0), then a recovery point with
    // recovery_frame_cnt 0 (payload 0x84: ue '1').
    EXPECT_EQ(recovery_point(hex("00 00 01 06 00 01 c0 06 01 84 01 01 04 80")), 0);
    // x264 open GOP: recovery point alone, payload 0xc4.
    EXPECT_EQ(recovery_point(hex("00 00 01 06 06 01 c4 80")), 0);
    // x264 periodic intra refresh: payload 04 f1 = 00000 1 00111: 2^5 - 1 + 7 = 38.
    EXPECT_EQ(recovery_point(hex("00 00 01 06 06 02 04 f1 80")), 38);
    // A payload type over 255 (255 + 6 = 261) is not a recovery point.
    EXPECT_EQ(recovery_point(hex("00 00 01 06 ff 06 01 84 06 01 c4 80")), 0);
    // Picture timing only, with its trailing bits (and trailing zero bytes): no recovery point,
    // and no error.
    EXPECT_EQ(recovery_point(hex("00 00 01 06 01 01 24 80")), -1);
    EXPECT_EQ(recovery_point(hex("00 00 01 06 01 01 24 80 00 00")), -1);
    EXPECT_TRUE(log.lines().empty());
    // A message longer than the unit is an error.
    EXPECT_EQ(recovery_point(hex("00 00 01 06 01 09 24 80")), -1);
    EXPECT_EQ(recovery_point(hex("00 00 01 06 06 01")), -1);
    EXPECT_EQ(recovery_point(hex("00 00 01 06 06 02 00 00")), -1);  // ue without its 1 bit
    const std::string line = "1 Failed to read recovery point information";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{line, line, line}));
}

TEST(H264Headers, SliceFrameNum) {
    BitWriter w;
    w.ue(1200).ue(7).ue(3).bits(0x1ABC, 13).bits(0, 20);
    uint32_t frame_num = 0;
    ASSERT_TRUE(read_slice_frame_num(w.bytes().data(), 8, 13, frame_num));
    EXPECT_EQ(frame_num, 0x1ABCu);
    EXPECT_FALSE(read_slice_frame_num(w.bytes().data(), 3, 13, frame_num));
    // A first_mb_in_slice of 2^22 - 1 starts with 22 zero bits: escaped, the header holds
    // 00 00 03 02, and the 03 must not be read.
    BitWriter z;
    z.ue((1u << 22) - 1).ue(0).ue(0).bits(0xA, 4).bits(0x15, 5);
    const Bytes nal = z.nal(0x41);
    at(nal, {0, 0, 3});
    ASSERT_GE(nal.size(), 12u);
    ASSERT_TRUE(read_slice_frame_num(nal.data() + 4, 8, 4, frame_num));
    EXPECT_EQ(frame_num, 0xAu);
}

}  // namespace
}  // namespace Corvid::IndexGen
