#include <gtest/gtest.h>

#include "indexgen/indexgen.h"
#include "indexgen/tests/parser_support.h"

namespace Corvid::IndexGen {
namespace {

using Testing::Bytes;
using Testing::Feed;
using Testing::hex;
using Testing::Record;
using Testing::operator+;
using Marks = std::vector<std::pair<size_t, bool>>;

const Bytes sequence_header = hex("00 00 01 b3 14 00 f0 13 ff ff e0 18");
const Bytes gop_header = hex("00 00 01 b8 12 34 56 78");
const Bytes picture = hex("00 00 01 00 0f ff f8 12");
const Bytes slice = hex("00 00 01 01 aa bb cc dd ee");
const size_t sh = sequence_header.size(), pic = picture.size();

// An entry starts at the first zero of the sequence header's start code prefix and ends on the
// byte before the prefix of the second picture (or of a sequence header), wherever the records
// are cut.
TEST(MPEG2Parser, EntryRunsFromSequenceHeaderToTheSecondPicture) {
    const Bytes pes = hex("00 00 01 e0 00 00 80 80 05 21 00 01 00 01");  // a start code itself
    struct Case {
        const char* what;
        std::vector<Record> records;
        Marks marks;
    } cases[] = {
        {"one record",
         {{hex("99 88") + sequence_header + gop_header + picture + slice + picture + slice +
           picture}},
         {{2, false}, {2 + sh + gop_header.size() + pic + slice.size() - 1, true}}},
        {"second sequence header before any picture",
         {{sequence_header + sequence_header + picture + slice + picture}},
         {{0, false}, {sh - 1, true}, {sh, false}, {2 * sh + pic + slice.size() - 1, true}}},
        {"sequence header after one picture",
         {{sequence_header + picture + slice}, {sequence_header + picture}},
         {{0, false}, {sh + pic + slice.size() - 1, true}, {sh + pic + slice.size(), false}}},
        {"end mark in the earlier record",
         {{sequence_header + picture + hex("77 66")}, {picture}},
         {{0, false}, {sh + pic + 1, true}}},
        // Packets of the video PID without video bytes (a PCR alone, or a PES header alone) come
        // between the two halves of a start code; the mark still goes where the prefix began.
        {"records without video bytes",
         {{sequence_header + picture + hex("77 66 00")},
          {{}},
          {hex("00 00 01 e0 00 00 80 00 00"), 9},
          {hex("00 01 00 44")}},
         {{0, false}, {sh + pic + 1, true}}},
        {"PES header bytes are not scanned",
         {{pes + sequence_header + picture, static_cast<uint32_t>(pes.size())}},
         {{pes.size(), false}}},
        {"scrambled records are not scanned and break prefixes",
         {{hex("12 00 00")}, {hex("01 b3 00 00 01 b3"), 0, 2}, {hex("01 b3 45")}},
         {}},
    };
    for (const Case& c : cases) {
        MPEG2Parser parser;
        Feed feed(parser);
        feed.add(c.records);
        EXPECT_EQ(feed.marks(), c.marks) << c.what;
        for (const auto& header : feed.headers())
            EXPECT_TRUE(header.empty()) << c.what;
    }
}

// Only the current record with video bytes is held; the previous one, and records without video
// bytes, are released at once.
TEST(MPEG2Parser, HoldsTheCurrentRecordAndReleasesThePrevious) {
    MPEG2Parser parser;
    Feed feed(parser);
    feed.add({{hex("01 02")}, {}, {hex("00 00 01 e0 00 00 80 00 00"), 9}});
    EXPECT_EQ(feed.held(), 1u);
    EXPECT_EQ(feed.records[0].state, PacketRecord::held);
    feed.add(hex("03 04"));
    auto& r = feed.records;
    EXPECT_EQ(feed.released, (std::vector<PacketRecord*>{nullptr, &r[1], &r[2], &r[0]}));
    EXPECT_EQ(feed.held(), 1u);
    EXPECT_EQ(r[3].state, PacketRecord::held);
}

// The same stream cut into records of every size from 4 to 40 bytes, and of a whole packet's
// 184, gives the same marks, as positions in the stream. Records under 16 bytes are searched a
// byte at a time, longer ones in windows of 64 bytes: shifting the stream by up to 70 bytes
// moves every start code across the windows' edges. (A parser looks back one record only: a start
// code spread over three records, which needs records of fewer than 4 bytes, is marked at the
// nearest byte it holds.)
TEST(MPEG2Parser, MarksDoNotDependOnHowTheStreamIsCut) {
    const Bytes gap(60, 0xab);
    const Bytes body = sequence_header + gop_header + picture + slice + hex("00 00") + picture +
                       slice + gap + sequence_header + sequence_header + picture + slice + gap +
                       picture + hex("00 00 00 00") + picture;
    for (size_t lead = 0; lead <= 70; ++lead) {
        const Bytes es = Bytes(lead, 0x5a) + body;
        MPEG2Parser parser;
        Feed feed(parser);
        feed.add(es);
        const Marks whole = feed.marks();
        ASSERT_EQ(whole.size(), 6u) << "lead " << lead;  // three entries
        EXPECT_EQ(whole.front(), std::make_pair(lead, false));
        for (size_t size : Testing::record_sizes(4, 40, {63, 64, 65, 184})) {
            MPEG2Parser parser;
            Feed feed(parser);
            feed.add_split(es, size);
            EXPECT_EQ(feed.marks(), whole) << "lead " << lead << ", records of " << size;
        }
    }
}

}  // namespace
}  // namespace Corvid::IndexGen
