#include <gtest/gtest.h>

#include <algorithm>

#include "indexgen/indexgen.h"
#include "tests/support/log_capture.h"
#include "indexgen/tests/parser_support.h"

namespace Corvid::IndexGen {
namespace {

using Testing::BitWriter;
using Testing::Bytes;
using Testing::Feed;
using Testing::hex;
using Corvid::Testing::LogCapture;
using Testing::operator+;
using Mark = Feed::Mark;

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
    Bytes body = hex("06 06") + Bytes{static_cast<uint8_t>(payload.bytes().size())} +
                 payload.bytes() + hex("80");
    return hex("00 00 01") + body;
}

const Bytes pic_timing_sei = hex("00 00 01 06 01 01 24 80");

int32_t at(const Bytes& es, const Bytes& part, size_t from = 0) {
    auto it =
        std::search(es.begin() + static_cast<ptrdiff_t>(from), es.end(), part.begin(), part.end());
    EXPECT_NE(it, es.end());
    return static_cast<int32_t>(it - es.begin());
}

std::string text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

TEST(H264Parser, IdrBeforeSpsAndPpsIsNoEntryTheFirstAfterBothIs) {
    const Bytes idr0 = slice(0x65, 0), idr1 = slice(0x65, 0, 0, 21), p = slice(0x41, 1);
    const Bytes es = aud + idr0 + aud + sps + pps + idr1 + aud + p;
    H264Parser parser;
    Feed feed(parser);
    feed.add(es);
    const int32_t start = at(es, idr1);
    const int32_t next_aud = at(es, aud, static_cast<size_t>(start));
    EXPECT_EQ(feed.marks(), (std::vector<Mark>{{0, start, false}, {0, next_aud - 1, true}}));
    EXPECT_TRUE(feed.records[0].has_header_start);
    EXPECT_EQ(text(Bytes(feed.records[0].header_data.begin(), feed.records[0].header_data.end())),
              text(aud + sps + pps));
    EXPECT_EQ(parser.frame_num_length(), 5u);
}

// Consecutive IDR pictures all have frame_num 0, so they make one entry, which ends at the first
// picture with another frame_num; an IDR picture that begins while an entry is open starts none.
TEST(H264Parser, ConsecutiveIdrPicturesFormOneEntry) {
    const Bytes idr_a = slice(0x65, 0, 0, 30), idr_b = slice(0x65, 0, 0, 31), p = slice(0x41, 1);
    const Bytes es = aud + sps + pps + idr_a + aud + idr_b + aud + p + aud + slice(0x41, 2);
    H264Parser parser;
    Feed feed(parser);
    feed.add(es);
    const int32_t third_aud = at(es, aud + p);
    EXPECT_EQ(feed.marks(),
              (std::vector<Mark>{{0, at(es, idr_a), false}, {0, third_aud - 1, true}}));
}

// A picture of several slices ends after its last slice.
TEST(H264Parser, EntryCoversEverySliceOfThePicture) {
    const Bytes s0 = slice(0x65, 0, 0), s1 = slice(0x65, 0, 40), s2 = slice(0x65, 0, 80);
    const Bytes p0 = slice(0x41, 1, 0), p1 = slice(0x41, 1, 40);
    const Bytes es = sps + pps + s0 + s1 + s2 + p0 + p1;
    H264Parser parser;
    Feed feed(parser);
    feed.add(es);
    EXPECT_EQ(feed.marks(), (std::vector<Mark>{{0, at(es, s0), false}, {0, at(es, p0) - 1, true}}));
}

TEST(H264Parser, RecoveryPointStartsAnEntryAtAReferencedSlice) {
    const Bytes sei = recovery_sei(0);
    const Bytes i_slice = slice(0x41, 3);
    const Bytes es = aud + sps + pps + slice(0x41, 2) + aud + sei + i_slice + aud + slice(0x41, 4);
    H264Parser parser;
    Feed feed(parser);
    feed.add(es);
    const int32_t start = at(es, i_slice);
    EXPECT_EQ(feed.marks(),
              (std::vector<Mark>{{0, start, false},
                                 {0, at(es, aud, static_cast<size_t>(start)) - 1, true}}));
    // The delimiter and SEI of the first access unit were dropped after its slice.
    EXPECT_EQ(text(Bytes(feed.records[0].header_data.begin(), feed.records[0].header_data.end())),
              text(aud + sps + pps + sei));
}

TEST(H264Parser, RecoveryPointBeforeAnUnreferencedSliceStartsNothing) {
    const Bytes es = sps + pps + recovery_sei(0) + slice(0x01, 3) + slice(0x41, 4) + slice(0x41, 5);
    H264Parser parser;
    Feed feed(parser);
    feed.add(es);
    EXPECT_TRUE(feed.marks().empty());
}

// Periodic intra refresh sends recovery_frame_cnt = N > 0: the picture carrying the SEI is the
// entry point, not every referenced picture of the next N.
TEST(H264Parser, RecoveryPointAppliesToItsOwnPictureOnly) {
    Bytes es = sps + pps + aud + recovery_sei(5) + slice(0x41, 1);
    for (uint32_t n = 2; n < 9; ++n)
        es = es + aud + slice(0x41, n);
    H264Parser parser;
    Feed feed(parser);
    feed.add(es);
    const auto marks = feed.marks();
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_FALSE(marks[0].is_end);
    EXPECT_TRUE(marks[1].is_end);
}

// Units that arrive while a picture is open are not collected: the next entry carries only the
// delimiter and SEI of its own access unit, with the SPS and PPS seen last.
TEST(H264Parser, UnitsInsideAnOpenPictureAreNotCollected) {
    const Bytes inner_sei = hex("00 00 01 06 05 02 11 22 80");
    const Bytes own_sei = hex("00 00 01 06 05 02 33 44 80");
    const Bytes other_pps = hex("00 00 01 68 ee 3c 80");
    const Bytes idr2 = slice(0x65, 0, 0, 25);
    const Bytes es = aud + sps + pps + slice(0x65, 0) + inner_sei + other_pps + slice(0x65, 0, 40) +
                     aud + slice(0x41, 1) + aud + own_sei + idr2 + aud + slice(0x41, 1);
    H264Parser parser;
    Feed feed(parser);
    feed.add_split(es, {40});
    size_t entries = 0;
    std::string second;
    for (const auto& r : feed.records)
        if (r.has_header_start) {
            ++entries;
            second = r.header_data;
        }
    EXPECT_EQ(entries, 2u);
    EXPECT_EQ(second, text(aud + sps + pps + own_sei));
}

TEST(H264Parser, SeveralSeiUnitsAreKeptInOrder) {
    const Bytes a = hex("00 00 01 06 05 01 aa 80"), b = pic_timing_sei, c = recovery_sei(0);
    const Bytes es = aud + sps + pps + a + b + c + slice(0x65, 0) + aud + slice(0x41, 1);
    H264Parser parser;
    Feed feed(parser);
    feed.add(es);
    EXPECT_EQ(feed.records[0].header_data, text(aud + sps + pps + a + b + c));
}

// A prefix split 00 00 | 00 01 65: the start mark and has_header_start go to the earlier record.
TEST(H264Parser, StartCodeSplitAcrossRecords) {
    const Bytes head = aud + sps + pps;
    const Bytes idr = slice(0x65, 0);
    H264Parser parser;
    Feed feed(parser);
    feed.add(head + hex("00 00"));
    feed.add(hex("00") + Bytes(idr.begin() + 2, idr.end()) + aud + slice(0x41, 1));
    const auto marks = feed.marks();
    ASSERT_EQ(marks.size(), 2u);
    // The three zeros count as the start code: its first zero is the earlier record's
    // second-to-last byte.
    EXPECT_EQ(marks[0], (Mark{0, static_cast<int32_t>(head.size()), false}));
    EXPECT_TRUE(feed.records[0].has_header_start);
    EXPECT_FALSE(feed.records[1].has_header_start);
    EXPECT_EQ(feed.records[0].header_data, text(head));
}

// A PCR-only packet of the video PID between the last slice and the next delimiter (as muxers
// at a constant rate send): the picture still ends on the last slice byte, not in that packet.
TEST(H264Parser, RecordsWithoutVideoBytesAreSkipped) {
    H264Parser parser;
    Feed feed(parser);
    feed.add(aud + sps + pps + slice(0x65, 0));
    feed.add(Bytes{});
    feed.add(hex("00 00 01 e0 00 00 80 00 00") + aud + slice(0x41, 1), 9);
    EXPECT_EQ(feed.records[1].state, PacketRecord::released);
    const auto marks = feed.marks();
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks[1],
              (Mark{0, static_cast<int32_t>(feed.records[0].packet.payload.size() - 1), true}));
}

// The same stream cut into records of every size from 5 to 70 bytes: the same marks at the
// same stream positions, the same header data.
TEST(H264Parser, MarksDoNotDependOnHowTheStreamIsCut) {
    Bytes es = hex("12 34") + aud + sps + pps + pic_timing_sei + slice(0x65, 0, 0, 50) +
               slice(0x65, 0, 60, 50) + aud + pic_timing_sei + slice(0x41, 1) + aud +
               recovery_sei(0) + slice(0x41, 2, 0, 70) + aud + slice(0x01, 3) + aud + sps + pps +
               slice(0x65, 0, 0, 10) + aud + slice(0x41, 1);
    std::vector<std::pair<size_t, bool>> whole;
    std::vector<std::string> headers;
    {
        H264Parser parser;
        Feed feed(parser);
        feed.add(es);
        for (const auto& m : feed.marks())
            whole.emplace_back(static_cast<size_t>(m.offset), m.is_end);
        for (const auto& r : feed.records)
            if (r.has_header_start) headers.push_back(r.header_data);
    }
    ASSERT_EQ(whole.size(), 6u);
    ASSERT_EQ(headers.size(), 1u);  // the whole stream is one record
    for (size_t size = 5; size <= 70; ++size) {
        H264Parser parser;
        Feed feed(parser);
        feed.add_split(es, {size});
        std::vector<std::pair<size_t, bool>> cut;
        for (const auto& m : feed.marks())
            cut.emplace_back(m.record * size + static_cast<size_t>(m.offset), m.is_end);
        EXPECT_EQ(cut, whole) << "records of " << size;
        size_t held = 0;
        for (const auto& r : feed.records)
            held += r.state == PacketRecord::held;
        EXPECT_LE(held, 3u);
    }
}

// The record holding a possible end of the picture stays held, however many records follow
// before the next picture's first slice header, and is released once the end mark is in.
TEST(H264Parser, HoldsTheEndCandidateUntilThePictureEnds) {
    H264Parser parser;
    Feed feed(parser);
    feed.add(aud + sps + pps + slice(0x65, 0, 0, 5) + slice(0x65, 0, 30, 5));  // record 0
    // Record 1: the delimiter after the last slice: the picture may end on record 0's last byte.
    feed.add(aud);
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
    EXPECT_EQ(marks[1],
              (Mark{0, static_cast<int32_t>(feed.records[0].packet.payload.size() - 1), true}));
}

TEST(H264Parser, ScrambledRecordsGetNoMarks) {
    H264Parser parser;
    Feed feed(parser);
    feed.add(aud + sps + pps + slice(0x65, 0));
    feed.add(hex("00 00 01 65 00 00 01 09 00 00 01 41"), 0, 3);  // scrambled
    feed.add(slice(0x41, 1));
    const auto marks = feed.marks();
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_FALSE(marks[0].is_end);
    // The open picture is taken to run to the end of the scrambled record.
    EXPECT_EQ(marks[1], (Mark{1, 11, true}));
    EXPECT_FALSE(feed.records[1].has_header_start);
}

// Most broadcast SEI units carry picture timing only; reading them for a recovery point is no
// error and logs nothing.
TEST(H264Parser, SeiWithoutRecoveryPointLogsNothing) {
    LogCapture log;
    H264Parser parser;
    Feed feed(parser);
    Bytes es = aud + sps + pps;
    for (uint32_t n = 0; n < 5; ++n)
        es = es + aud + pic_timing_sei + slice(0x41, n);
    feed.add(es);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(feed.marks().empty());
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
    EXPECT_FALSE(feed.marks()[0].is_end);
}

// Units are collected until the next start code; a stream that sends none, or endless SEI units
// and no slice, must not make the parser grow without bound.
TEST(H264Parser, CollectedUnitsAreBounded) {
    H264Parser parser;
    Feed feed(parser);
    feed.add(aud + sps + pps + hex("00 00 01 06 05"));
    const Bytes filler(184, 0xAA);
    for (int i = 0; i < 2000; ++i)  // 368 kB of one SEI unit
        feed.add(filler);
    Bytes small_seis;
    for (int i = 0; i < 200; ++i)
        small_seis = small_seis + hex("00 00 01 06 05 20") + Bytes(32, 0x55) + hex("80");
    for (int i = 0; i < 30; ++i)  // 240 kB of small SEI units
        feed.add(small_seis);
    feed.add(slice(0x65, 0) + aud + slice(0x41, 1));
    const auto& last = feed.records.back();
    ASSERT_TRUE(last.has_header_start);
    EXPECT_LE(last.header_data.size(),
              aud.size() + sps.size() + pps.size() + H264Parser::max_unit_size);
    EXPECT_EQ(
        last.header_data.compare(0, aud.size() + sps.size() + pps.size(), text(aud + sps + pps)),
        0);
}

}  // namespace
}  // namespace Corvid::IndexGen
