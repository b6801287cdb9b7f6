#include <gtest/gtest.h>

#include "indexgen/indexgen.h"
#include "indexgen/tests/parser_support.h"

namespace Corvid::IndexGen {
namespace {

using Testing::Bytes;
using Testing::Feed;
using Testing::hex;
using Testing::operator+;
using Mark = Feed::Mark;

const Bytes sequence_header = hex("00 00 01 b3 14 00 f0 13 ff ff e0 18");
const Bytes gop_header = hex("00 00 01 b8 12 34 56 78");
const Bytes picture = hex("00 00 01 00 0f ff f8 12");
const Bytes slice = hex("00 00 01 01 aa bb cc dd ee");

TEST(MPEG2Parser, EntryRunsFromSequenceHeaderToTheSecondPicture) {
    MPEG2Parser parser;
    Feed feed(parser);
    const Bytes es =
        hex("99 88") + sequence_header + gop_header + picture + slice + picture + slice + picture;
    feed.add(es);
    // Start at the sequence header's first zero (2); end on the byte before the second picture's
    // start code prefix.
    const size_t second_picture =
        2 + sequence_header.size() + gop_header.size() + picture.size() + slice.size();
    EXPECT_EQ(
        feed.marks(),
        (std::vector<Mark>{{0, 2, false}, {0, static_cast<int32_t>(second_picture - 1), true}}));
    EXPECT_TRUE(feed.records[0].has_header_start);
    EXPECT_TRUE(feed.records[0].header_data.empty());
}

// 00 | 00 01 b3: the prefix began in the earlier record, whose last byte gets the start mark
// and has_header_start; likewise 00 00 | 01 b3.
TEST(MPEG2Parser, PrefixSplitAcrossRecordsMarksTheEarlierRecord) {
    struct Case {
        Bytes first, second;
        int32_t start;
    };
    for (const Case& c : {Case{hex("11 22 33 00"), hex("00 01 b3 14"), 3},
                          Case{hex("11 22 33 00 00"), hex("01 b3 14"), 3}}) {
        MPEG2Parser parser;
        Feed feed(parser);
        feed.add(c.first);
        feed.add(c.second);
        EXPECT_EQ(feed.marks(), (std::vector<Mark>{{0, c.start, false}}));
        EXPECT_TRUE(feed.records[0].has_header_start);
        EXPECT_FALSE(feed.records[1].has_header_start);
    }
}

// Packets of the video PID without video bytes (a PCR alone, or a PES header alone) come between
// the two halves of a start code; the mark still goes to the byte where the prefix began.
TEST(MPEG2Parser, RecordsWithoutVideoBytesAreSkipped) {
    MPEG2Parser parser;
    Feed feed(parser);
    feed.add(sequence_header + picture + hex("77 66 00"));
    feed.add(Bytes{});
    feed.add(hex("00 00 01 e0 00 00 80 00 00"), 9);
    feed.add(hex("00 01 00 44"));
    EXPECT_EQ(feed.records[1].state, PacketRecord::released);
    EXPECT_EQ(feed.records[2].state, PacketRecord::released);
    EXPECT_EQ(feed.released[1], &feed.records[1]);
    const int32_t last = static_cast<int32_t>(feed.records[0].packet.payload.size() - 1);
    EXPECT_EQ(feed.marks(), (std::vector<Mark>{{0, 0, false}, {0, last - 1, true}}));
}

TEST(MPEG2Parser, PrefixCompleteAtTheEndOfARecord) {
    MPEG2Parser parser;
    Feed feed(parser);
    feed.add(hex("55 00 00 01"));
    feed.add(hex("b3 14 00"));
    EXPECT_EQ(feed.marks(), (std::vector<Mark>{{0, 1, false}}));
    EXPECT_TRUE(feed.records[0].has_header_start);
}

TEST(MPEG2Parser, SecondSequenceHeaderBeforeAnyPictureEndsTheFirstEntry) {
    MPEG2Parser parser;
    Feed feed(parser);
    feed.add(sequence_header + sequence_header + picture + slice + picture);
    const int32_t second = static_cast<int32_t>(sequence_header.size());
    const int32_t end =
        static_cast<int32_t>(2 * sequence_header.size() + picture.size() + slice.size() - 1);
    EXPECT_EQ(feed.marks(),
              (std::vector<Mark>{
                  {0, 0, false}, {0, second - 1, true}, {0, second, false}, {0, end, true}}));
}

TEST(MPEG2Parser, SequenceHeaderAfterOnePictureEndsTheEntry) {
    MPEG2Parser parser;
    Feed feed(parser);
    feed.add(sequence_header + picture + slice);
    feed.add(sequence_header + picture);
    EXPECT_EQ(feed.marks(),
              (std::vector<Mark>{
                  {0, 0, false},
                  {0, static_cast<int32_t>(feed.records[0].packet.payload.size() - 1), true},
                  {1, 0, false}}));
    EXPECT_TRUE(feed.records[1].has_header_start);
}

// The end mark is the byte before the second picture's prefix, which here is the last byte of
// the earlier record.
TEST(MPEG2Parser, EndMarkInTheEarlierRecord) {
    MPEG2Parser parser;
    Feed feed(parser);
    feed.add(sequence_header + picture + hex("77 66"));
    feed.add(picture);
    EXPECT_EQ(feed.marks(),
              (std::vector<Mark>{
                  {0, 0, false},
                  {0, static_cast<int32_t>(feed.records[0].packet.payload.size() - 1), true}}));
}

TEST(MPEG2Parser, PESHeaderBytesAreNotScanned) {
    MPEG2Parser parser;
    Feed feed(parser);
    // A PES header (which begins with a start code of its own) with PTS, then the video.
    const Bytes pes = hex("00 00 01 e0 00 00 80 80 05 21 00 01 00 01");
    feed.add(pes + sequence_header + picture, static_cast<uint32_t>(pes.size()));
    EXPECT_EQ(feed.marks(), (std::vector<Mark>{{0, static_cast<int32_t>(pes.size()), false}}));
}

TEST(MPEG2Parser, ScrambledRecordsAreNotScannedAndBreakPrefixes) {
    MPEG2Parser parser;
    Feed feed(parser);
    feed.add(hex("12 00 00"));
    feed.add(hex("01 b3 00 00 01 b3"), 0, 2);  // scrambled
    feed.add(hex("01 b3 45"));
    EXPECT_TRUE(feed.marks().empty());
    EXPECT_FALSE(feed.records[1].has_header_start);
}

TEST(MPEG2Parser, HoldsTheCurrentRecordAndReleasesThePrevious) {
    MPEG2Parser parser;
    Feed feed(parser);
    feed.add(hex("01 02"));
    EXPECT_EQ(feed.released[0], nullptr);
    EXPECT_EQ(feed.records[0].state, PacketRecord::held);
    feed.add(hex("03 04"));
    EXPECT_EQ(feed.released[1], &feed.records[0]);
    EXPECT_EQ(feed.records[0].state, PacketRecord::released);
    EXPECT_EQ(feed.records[1].state, PacketRecord::held);
}

// The same stream cut into records of every size from 4 to 40 bytes gives the same marks, as
// positions in the stream. (A parser looks back one record only: a start code spread over three
// records, which needs records of fewer than 4 bytes, is marked at the nearest byte it holds.)
TEST(MPEG2Parser, MarksDoNotDependOnHowTheStreamIsCut) {
    const Bytes es = hex("ab") + sequence_header + gop_header + picture + slice + hex("00 00") +
                     picture + slice + sequence_header + sequence_header + picture + slice +
                     picture + hex("00 00 00 00") + picture;
    std::vector<std::pair<size_t, bool>> whole;
    {
        MPEG2Parser parser;
        Feed feed(parser);
        feed.add(es);
        for (const auto& m : feed.marks())
            whole.emplace_back(static_cast<size_t>(m.offset), m.is_end);
    }
    ASSERT_EQ(whole.size(), 6u);  // three entries
    for (size_t size = 4; size <= 40; ++size) {
        MPEG2Parser parser;
        Feed feed(parser);
        feed.add_split(es, {size});
        std::vector<std::pair<size_t, bool>> cut;
        for (const auto& m : feed.marks())
            cut.emplace_back(m.record * size + static_cast<size_t>(m.offset), m.is_end);
        EXPECT_EQ(cut, whole) << "records of " << size;
    }
}

}  // namespace
}  // namespace Corvid::IndexGen
