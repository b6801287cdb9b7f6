// The video parsers on hand-made elementary streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>

#include "indexgen/bench/video_feeder.h"
#include "indexgen/tests/support.h"
#include "tests/support/log_capture.h"

namespace Corvid::IndexGen {
namespace {

using Corvid::Testing::LogCapture;
using Testing::Bytes;
using Testing::hex;
using Testing::operator+;
using Marks = std::vector<std::pair<size_t, bool>>;  // (stream position, is_end)

// Payload, whether it starts a PES packet (the feeder reads its header), scrambling bits.
struct Record {
    Bytes payload;
    bool pes = false;
    uint32_t scrambling = 0;
};

// Records fed to a parser through the video feeder and handed back once released, so that a mark
// left on a released record is lost, as in the generator. A parser holds at most three.
class Feed {
  public:
    explicit Feed(Parser& parser)
        : feeder_(0x100, parser, [this](const auto& fed) { take(fed.record); }) {}

    void add(const std::vector<Record>& records) {
        for (const Record& r : records) {
            MPEG::TSPacket p;
            p.pid = 0x100;
            p.payload = r.payload;
            p.payload_unit_start = r.pes;
            p.scrambling = r.scrambling;
            feeder_.process(p);
            EXPECT_LE(feeder_.held(), 3u);
        }
    }
    void add_split(const Bytes& es, size_t size) {
        for (size_t at = 0; at < es.size(); at += size)
            add({{Bytes(es.begin() + static_cast<ptrdiff_t>(at),
                        es.begin() + static_cast<ptrdiff_t>(std::min(at + size, es.size())))}});
    }
    // Hands over the records the parser still holds.
    Feed& finish() {
        feeder_.finish();
        return *this;
    }

    Marks marks;                 // every mark as a position in the concatenated payloads
    std::vector<Bytes> headers;  // header_data of the records where an entry starts

  private:
    void take(const PacketRecord& r) {
        bool starts = false;
        for (const FrameMark& m : r.marks) {
            marks.emplace_back(base_ + static_cast<size_t>(m.offset), m.is_end);
            starts |= !m.is_end;
        }
        // A start mark falls in a record with has_header_start, and only there.
        EXPECT_EQ(starts, r.has_header_start) << "record at " << base_;
        if (r.has_header_start) headers.emplace_back(r.header_data.begin(), r.header_data.end());
        base_ += r.packet.payload.size();
    }

    size_t base_ = 0;
    Testing::VideoFeeder feeder_;
};

// After every lead of 0 to 64 bytes of filler (moving start codes across the search windows'
// edges) the stream gives ended entries at the starts given; cut into records of the table's sizes
// from 5 up (a start code spread over three records is marked at the nearest byte it holds), the
// same marks, and where no record holds two entry starts the headers given (none: all empty).
template <class P>
void expect_cut_independent(const Bytes& body, const Bytes& filler, std::vector<size_t> starts,
                            const std::vector<Bytes>& headers) {
    for (size_t lead = 0; lead <= 64; ++lead) {
        Bytes es;
        for (size_t k = 0; k < lead; ++k)
            es.push_back(filler[k % filler.size()]);
        es = es + body;
        P whole_parser;
        Feed whole(whole_parser);
        whole.add({{es}});
        const Marks marks = whole.finish().marks;
        ASSERT_EQ(marks.size(), 2 * starts.size()) << "lead " << lead;
        for (size_t i = 0; i < starts.size(); ++i)
            EXPECT_EQ(marks[2 * i], std::make_pair(lead + starts[i], false)) << "lead " << lead;
        for (size_t size : Testing::chunk_sizes) {
            if (size < 5) continue;
            SCOPED_TRACE("lead " + std::to_string(lead) + ", records of " + std::to_string(size));
            P parser;
            Feed feed(parser);
            feed.add_split(es, size);
            EXPECT_EQ(feed.finish().marks, marks);
            EXPECT_TRUE(headers.empty() ? feed.headers == std::vector<Bytes>(feed.headers.size())
                                        : size > 70 || feed.headers == headers);
        }
    }
}

// An MPEG-2 entry starts at the first zero of the sequence header's start code prefix and ends on
// the byte before the prefix of the second picture, or of a sequence header.
TEST(MPEG2Parser, EntriesWhereverTheStreamIsCut) {
    const Bytes sh = hex("00 00 01 b3 14 00 f0 13 ff ff e0 18"),
                gop = hex("00 00 01 b8 12 34 56 78");
    const Bytes picture = hex("00 00 01 00 0f ff f8 12") + hex("00 00 01 01 aa bb cc dd ee");
    const Bytes gap(60, 0xab), first = sh + gop + picture + hex("00 00") + picture + gap;
    const Bytes body = first + sh + sh + picture + gap + picture + hex("00 00 00 00") + picture;
    expect_cut_independent<MPEG2Parser>(body, {0x5a}, {0, first.size(), first.size() + sh.size()},
                                        {});
}

// Baseline SPS (profile 66, level 30) with log2_max_frame_num_minus4 = 1: 5 bits of frame_num.
const Bytes sps = hex("00 00 00 01 67 42 c0 1e a6 80 a0 2f 90");
const Bytes pps = hex("00 00 01 68 ce 3c 80");
const Bytes aud = hex("00 00 00 01 09 f0");
const Bytes head = aud + sps + pps;
const Bytes timing_sei = hex("00 00 01 06 01 01 24 80");
const Bytes recovery_sei = hex("00 00 01 06 06 01 c4 80");  // recovery_frame_cnt 0, as x264 writes

// A slice NAL unit: header byte (0x65 IDR, 0x41 referenced non-IDR, 0x01 not referenced), a
// slice header with first_mb_in_slice and frame_num, filler data, then emulation prevention.
Bytes slice(uint8_t header, uint32_t frame_num, uint32_t first_mb = 0, size_t filler = 20) {
    std::string bits;
    for (uint32_t value : {first_mb, header == 0x65 ? 7u : 5u, 0u}) {  // ue(v)
        const std::string code = std::bitset<32>(value + 1).to_string();
        bits += std::string(31 - code.find('1'), '0') + code.substr(code.find('1'));
    }
    bits += std::bitset<5>(frame_num).to_string() + "101010";
    for (size_t i = 0; i < filler; ++i)
        bits += "10100101";
    bits += "1";  // rbsp_trailing_bits
    bits.resize((bits.size() + 7) / 8 * 8, '0');
    Bytes out = {0, 0, 1, header};
    for (size_t i = 0; i < bits.size(); i += 8) {
        const auto b = static_cast<uint8_t>(std::stoul(bits.substr(i, 8), nullptr, 2));
        if (out.end()[-1] == 0 && out.end()[-2] == 0 && b <= 3) out.push_back(3);
        out.push_back(b);
    }
    return out;
}

size_t at(const Bytes& es, const Bytes& part, size_t from = 0) {
    return static_cast<size_t>(
        std::search(es.begin() + static_cast<ptrdiff_t>(from), es.end(), part.begin(), part.end()) -
        es.begin());
}

// An H.264 entry starts at the first slice of an IDR picture, or of a referenced picture with a
// recovery point SEI, once SPS and PPS have been seen; it ends on the last byte of the picture's
// last slice. It carries the delimiter, SPS, PPS and SEI units of its own access unit.
TEST(H264Parser, EntriesAndTheirHeaderUnits) {
    const Bytes idr = slice(0x65, 0), idr_b = slice(0x65, 0, 0, 21), p = slice(0x41, 1);
    const Bytes before_sps = aud + idr + aud + sps + pps + idr_b + aud + p;
    // Consecutive IDR pictures all have frame_num 0; each begins with a slice whose
    // first_mb_in_slice is 0, and each is an entry (an intra-only stream would otherwise make one
    // entry that never ends). The second carries the SPS and PPS seen last.
    const Bytes first_au = head + idr + aud, second_au = idr_b + aud + p + aud + slice(0x41, 2);
    const Bytes consecutive = first_au + second_au;
    const Bytes s1 = slice(0x65, 0, 40),
                slices = sps + pps + idr + s1 + slice(0x65, 0, 80) + p + slice(0x41, 1, 40);
    const Bytes unreferenced =
        sps + pps + recovery_sei + slice(0x01, 3) + slice(0x41, 4) + slice(0x41, 5);
    // Units that arrive while a picture is open are not collected: the next entry carries only
    // the delimiter and SEI of its own access unit, with the SPS and PPS seen last.
    const Bytes own_sei = hex("00 00 01 06 05 02 33 44 80"), idr2 = slice(0x65, 0, 0, 25);
    const Bytes open = head + idr + hex("00 00 01 06 05 02 11 22 80 00 00 01 68 ee 3c 80") + s1 +
                       aud + p + aud + own_sei + idr2 + aud + p;
    // Most broadcast SEI units carry picture timing only: no entry, and no log line.
    Bytes timing_only = head;
    for (uint32_t n = 0; n < 5; ++n)
        timing_only = timing_only + aud + timing_sei + slice(0x41, n);
    // An SPS that cannot be read leaves frame_num without bits: pictures are not told apart and
    // the entry stays open.
    const Bytes hold = head + slice(0x65, 0, 0, 5) + slice(0x65, 0, 30, 5), filler(50, 0x5a);
    const Bytes bad_sps = hex("00 00 01 67 64") + pps + idr + p + slice(0x41, 2);
    const struct {
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
         {{head + idr}, {}, {hex("00 00 01 e0 00 00 80 00 00") + aud + p, true}},
         {{head.size(), false}, {head.size() + idr.size() - 1, true}},
         {head}},
        // The open picture is taken to run to the end of the scrambled record.
        {"scrambled records get no marks",
         {{head + idr}, {hex("00 00 01 65 00 00 01 09 00 00 01 41"), false, 3}, {p}},
         {{head.size(), false}, {head.size() + idr.size() + 11, true}},
         {head}},
        {"picture timing SEI only", {{timing_only}}, {}, {}},
        // The record holding a possible end of the picture stays held, however many records
        // follow before the next picture's first slice header.
        {"end candidate held",
         {{hold}, {aud}, {}, {filler}, {filler}, {filler}, {filler}, {filler}, {slice(0x41, 1)}},
         {{head.size(), false}, {hold.size() - 1, true}},
         {head}},
        {"unreadable SPS", {{bad_sps}}, {{at(bad_sps, idr), false}}, {hex("00 00 01 67 64") + pps}},
    };
    LogCapture log;
    for (const auto& c : cases) {
        H264Parser parser;
        Feed feed(parser);
        if (c.split) {
            feed.add_split(c.records[0].payload, c.split);
        } else {
            feed.add(c.records);
        }
        EXPECT_EQ(feed.finish().marks, c.marks) << c.what;
        EXPECT_EQ(feed.headers, c.headers) << c.what;
    }
    EXPECT_EQ(log.lines(), std::vector<std::string>{"1 Could not read frame num length from SPS"});
}

// Shifted by filler with lone 0x01 and 00 01 bytes, which begin nothing, and cut anywhere.
TEST(H264Parser, EntriesWhereverTheStreamIsCut) {
    const Bytes first = hex("12 34") + head + timing_sei, idr = slice(0x65, 0, 0, 50);
    const Bytes second = first + idr + slice(0x65, 0, 60, 50) + aud + timing_sei + slice(0x41, 1) +
                         aud + recovery_sei;
    const Bytes third = second + slice(0x41, 2, 0, 70) + aud + slice(0x01, 3) + aud + sps + pps;
    const Bytes body = third + slice(0x65, 0, 0, 10) + aud + slice(0x41, 1);
    expect_cut_independent<H264Parser>(body, hex("5a 01 00 01"),
                                       {first.size(), second.size(), third.size()},
                                       {head + timing_sei, head + recovery_sei, head});
}

}  // namespace
}  // namespace Corvid::IndexGen
