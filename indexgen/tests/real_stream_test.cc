// The video parsers over real and generated streams, against ffprobe's keyframes and timestamps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "indexgen/indexgen.h"
#include "indexgen/tests/video_feeder.h"
#include "tests/support/ffmpeg_oracle.h"
#include "tests/support/test_support.h"

namespace Corvid::IndexGen {
namespace {

using Testing::FedRecord;

// One intra entry as the parser marked it, in elementary stream coordinates.
struct Entry {
    uint64_t pes_offset = 0;  // where the PES packet holding its start begins
    uint64_t start = 0;       // first byte, index into Scan::es
    int64_t end = -1;         // last byte, or -1 if never ended
    std::string header_data;
};

struct Scan {
    std::string es;  // the video elementary stream, PES headers left out
    std::vector<Entry> entries;
    std::map<uint64_t, PESHeader> pes;  // the PES headers read, by packet offset
    size_t unread_pes = 0;
};

Scan scan(const std::string& path, uint16_t pid, bool h264) {
    const auto file = Corvid::Testing::read_file(path);
    H264Parser h264_parser;
    MPEG2Parser mpeg2_parser;
    Scan out;
    Testing::VideoFeeder feeder(
        pid, h264 ? static_cast<Parser&>(h264_parser) : mpeg2_parser, [&](const FedRecord& fed) {
            const PacketRecord& r = fed.record;
            const auto& p = r.packet.payload;
            if (r.packet.payload_unit_start && fed.pes_read) out.pes[r.packet.offset] = r.pes;
            out.unread_pes += r.packet.payload_unit_start && !fed.pes_read;
            const size_t es_begin = std::min<size_t>(r.es_offset, p.size());
            for (const FrameMark& m : r.marks) {
                const uint64_t at =
                    out.es.size() + static_cast<size_t>(std::max<int64_t>(
                                        m.offset - static_cast<int64_t>(es_begin), 0));
                if (!m.is_end) {
                    out.entries.push_back(Entry{fed.pes_offset, at, -1, r.header_data});
                } else if (!out.entries.empty() && out.entries.back().end < 0) {
                    out.entries.back().end = static_cast<int64_t>(at);
                }
            }
            out.es.append(p.begin() + static_cast<ptrdiff_t>(es_begin), p.end());
        });
    TSPipeline pipeline;
    pipeline.add_pipe(feeder);
    for (size_t at = 0; at < file.size(); at += 1316)
        pipeline.feed(file.data() + at, std::min<size_t>(1316, file.size() - at));
    feeder.finish();
    return out;
}

// How far an entry reaches against ffprobe's keyframe packet (its access unit, with the delimiter,
// SPS, PPS and SEI units before the first slice that the entry keeps as header data).
enum class Extent {
    picture,     // exactly the keyframe
    field_pair,  // the keyframe and the packet after it
    noisy_pair,  // the same and up to 4 packets of noise that ffprobe drops
};

struct Stream {
    const char* name;
    bool generated;
    uint16_t pid;
    enum Codec { mpeg2, idr, recovery } codec;
    Extent extent = Extent::picture;
};

bool starts_with(const std::string& s, uint64_t at, const std::string& prefix) {
    return s.compare(at, prefix.size(), prefix) == 0;
}

const std::string start_code("\0\0\1", 3);

class Keyframes : public ::testing::TestWithParam<Stream> {};

// The PES packets where the parser starts an intra entry are exactly those that ffprobe flags as
// keyframes, and each entry is that picture as ffprobe cuts it.
//
// H.264 without IDR pictures: an entry starts at a referenced picture whose access unit carries a
// recovery point SEI, as ffprobe's keyframes do, so the positions must agree. The entries can be
// longer than ffprobe's packets:
// - whole frames: the parser tells pictures apart by frame_num only, so the two fields of an
//   interlaced frame (same frame_num, one access unit each for ffprobe) make one entry: the
//   recovery point field and the field coded from it, which a player needs to show the frame;
// - noise: tsduck-test-143 has packets with continuity errors and stray scrambling bits inside
//   the frame, which ffprobe drops and which the index keeps (it copies packets, not bytes).
// Where they would also differ, and does not happen in these streams: ffprobe also flags an
// unreferenced picture with a recovery point, and any picture with one before the first SPS and
// PPS, neither of which the index can use.
//
// The PES headers read on the way carry the timestamps ffprobe gives the packet at that position
// (in 90 kHz ticks, as sent).
TEST_P(Keyframes, IntraEntriesAreFfprobesKeyframes) {
    CORVID_REQUIRE_PROGRAM("ffprobe");
    const Stream& s = GetParam();
    const std::string path = s.generated ? Corvid::Testing::generated_stream(s.name)
                                         : Corvid::Testing::shared_path(s.name);
    if (path.empty())
        GTEST_SKIP() << s.name << " not found (shared test data or generated streams)";
    bool ok = false;
    const auto probed = Corvid::Testing::ffprobe_packets(path, "i:" + std::to_string(s.pid), &ok);
    ASSERT_TRUE(ok && !probed.empty()) << "ffprobe failed on " << path;
    std::set<uint64_t> keyframes;
    for (const auto& p : probed)
        if (p.key && p.pos >= 0) keyframes.insert(static_cast<uint64_t>(p.pos));
    ASSERT_FALSE(keyframes.empty());

    const Scan result = scan(path, s.pid, s.codec != Stream::mpeg2);
    std::set<uint64_t> starts;
    for (const Entry& e : result.entries)
        starts.insert(e.pes_offset);
    EXPECT_EQ(starts, keyframes);
    if (s.codec != Stream::recovery) {
        EXPECT_EQ(starts.size(), result.entries.size()) << "two entries in one PES packet";
    }

    for (size_t i = 0; i < result.entries.size(); ++i) {
        const Entry& e = result.entries[i];
        SCOPED_TRACE("entry at " + std::to_string(e.pes_offset));
        if (e.end < 0) {
            EXPECT_TRUE(i + 1 == result.entries.size() && s.codec != Stream::recovery)
                << "only the last picture may be left open";
            continue;
        }
        ASSERT_LT(e.start, static_cast<uint64_t>(e.end));
        const std::string picture =
            result.es.substr(e.start, static_cast<uint64_t>(e.end) - e.start + 1);
        const uint64_t next = static_cast<uint64_t>(e.end) + 1;
        if (s.codec == Stream::mpeg2) {
            // From its sequence header to the end of the first picture, which the next start
            // code (of the next picture or sequence header) ends.
            EXPECT_TRUE(starts_with(picture, 0, start_code + "\xb3"));
            const std::string pic_start = start_code + std::string(1, '\0');
            const size_t first = picture.find(pic_start);
            EXPECT_TRUE(first != std::string::npos &&
                        picture.find(pic_start, first + 1) == std::string::npos);
            EXPECT_TRUE(starts_with(result.es, next, start_code));
        } else {
            // From the first slice's start code to the end of the last slice.
            const size_t zeros = picture.find('\1');
            ASSERT_LE(zeros, 3u);
            const int nal_type = picture[zeros + 1] & 0x1F;
            EXPECT_TRUE(nal_type == 5 || (s.codec == Stream::recovery && nal_type == 1));
            if (s.codec == Stream::idr) {
                EXPECT_TRUE(starts_with(result.es, next, start_code) ||
                            starts_with(result.es, next, std::string("\0", 1) + start_code));
            }
        }
        const uint64_t size = e.header_data.size() + picture.size();
        auto key = std::find_if(probed.begin(), probed.end(), [&](const auto& p) {
            return p.key && p.pos == static_cast<int64_t>(e.pes_offset);
        });
        ASSERT_NE(key, probed.end());
        if (s.extent == Extent::picture) {
            EXPECT_EQ(size, key->size);
            continue;
        }
        ASSERT_NE(key + 1, probed.end());
        const uint64_t pair = key->size + (key + 1)->size;
        if (s.extent == Extent::field_pair) {
            EXPECT_EQ(size, pair);
        } else {
            EXPECT_GE(size, pair);
            EXPECT_LT(size, pair + 4 * 184);
        }
    }

    EXPECT_TRUE(s.extent == Extent::noisy_pair || result.unread_pes == 0) << result.unread_pes;
    size_t compared = 0, stamped = 0;
    for (const auto& p : probed) {
        if (p.pos < 0 || p.pts < 0 || p.dts < 0) continue;
        ++stamped;
        auto it = result.pes.find(static_cast<uint64_t>(p.pos));
        if (it == result.pes.end()) continue;
        ++compared;
        const PESHeader& h = it->second;
        EXPECT_EQ(h.kind, PESHeader::video);
        ASSERT_GE(h.pts, 0.0) << p.pos;
        EXPECT_EQ(std::llround(h.pts * 90000), p.pts) << p.pos;
        if (h.dts >= 0) {
            EXPECT_EQ(std::llround(h.dts * 90000), p.dts) << p.pos;
        }
    }
    EXPECT_GT(compared, stamped * 9 / 10);
}

std::string stream_name(const ::testing::TestParamInfo<Stream>& info) {
    std::string name = info.param.name;
    const size_t from = name.rfind('/') + 1;
    name = name.substr(from, name.rfind('.') - from);
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !isalnum(c); }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(
    VideoParsers, Keyframes,
    ::testing::Values(Stream{"testdata/ts/video/tsduck-test-025.ts", false, 0x1000, Stream::mpeg2},
                      Stream{"testdata/ts/video/tsduck-test-064.ts", false, 0x100, Stream::idr},
                      Stream{"testdata/ts/video/tsduck-test-026.ts", false, 0x78, Stream::recovery,
                             Extent::field_pair},
                      Stream{"testdata/ts/video/tsduck-test-143.ts", false, 0x3d, Stream::recovery,
                             Extent::noisy_pair},
                      Stream{"mpeg2-closed-gop25.ts", true, 0x100, Stream::mpeg2},
                      Stream{"mpeg2-open-gop12.ts", true, 0x100, Stream::mpeg2},
                      Stream{"h264-idr2s.ts", true, 0x100, Stream::idr},
                      Stream{"h264-cbr.ts", true, 0x100, Stream::idr},
                      Stream{"h264-open-gop.ts", true, 0x100, Stream::recovery},
                      Stream{"h264-intra-refresh.ts", true, 0x100, Stream::recovery}),
    stream_name);

}  // namespace
}  // namespace Corvid::IndexGen
