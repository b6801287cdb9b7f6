// The video parsers over real and generated streams, against ffprobe's keyframes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "indexgen/indexgen.h"
#include "indexgen/tests/stream_support.h"
#include "indexgen/tests/video_feeder.h"
#include "tests/support/test_support.h"

namespace Corvid::IndexGen {
namespace {

using Testing::FedRecord;
using Testing::VideoFeeder;

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
    uint64_t records = 0;
    size_t max_live = 0;
    size_t max_held = 0;
};

Scan scan(const std::string& path, uint16_t pid, bool h264) {
    const auto file = Corvid::Testing::read_file(path);
    std::unique_ptr<Parser> parser;
    if (h264)
        parser = std::make_unique<H264Parser>();
    else
        parser = std::make_unique<MPEG2Parser>();
    Scan out;
    VideoFeeder feeder(pid, *parser, [&](const FedRecord& fed) {
        const PacketRecord& r = fed.record;
        const auto& p = r.packet.payload;
        const size_t es_begin = std::min<size_t>(r.es_offset, p.size());
        const uint64_t base = out.es.size();
        for (const FrameMark& m : r.marks) {
            const uint64_t at = base + static_cast<size_t>(std::max<int64_t>(
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
    out.records = feeder.records();
    out.max_live = feeder.max_live();
    return out;
}

struct Stream {
    const char* name;
    bool generated;
    uint16_t pid;
    bool h264;
};

std::string locate(const Stream& s) {
    return s.generated ? Corvid::Testing::generated_stream(s.name)
                       : Corvid::Testing::shared_path(s.name);
}

bool starts_with(const std::string& s, uint64_t at, const std::string& prefix) {
    return s.compare(at, prefix.size(), prefix) == 0;
}

const std::string seq_start("\0\0\1\xb3", 4);
const std::string pic_start("\0\0\1\0", 4);
const std::string start_code("\0\0\1", 3);

// MPEG-2 and IDR-only H.264: the PES packets where the parser starts an intra entry are exactly
// those that ffprobe flags as keyframes, and each entry is a picture as ffprobe cuts it.
class ExactKeyframes : public ::testing::TestWithParam<Stream> {};

TEST_P(ExactKeyframes, IntraEntriesAreFfprobesKeyframes) {
    CORVID_REQUIRE_PROGRAM("ffprobe");
    const Stream& s = GetParam();
    const std::string path = locate(s);
    if (path.empty())
        GTEST_SKIP() << s.name << " not found (shared test data or generated streams)";
    bool ok = false;
    const auto probed = Testing::ffprobe_packets(path, s.pid, &ok);
    ASSERT_TRUE(ok && !probed.empty()) << "ffprobe failed on " << path;
    std::set<uint64_t> keyframes;
    std::map<uint64_t, uint64_t> sizes;
    for (const auto& p : probed) {
        if (p.key) keyframes.insert(p.pos);
        sizes[p.pos] = p.size;
    }
    const Scan result = scan(path, s.pid, s.h264);
    std::set<uint64_t> starts;
    for (const Entry& e : result.entries)
        starts.insert(e.pes_offset);
    EXPECT_EQ(starts, keyframes);
    EXPECT_EQ(starts.size(), result.entries.size()) << "two entries in one PES packet";

    for (size_t i = 0; i < result.entries.size(); ++i) {
        const Entry& e = result.entries[i];
        SCOPED_TRACE("entry at " + std::to_string(e.pes_offset));
        const bool last = i + 1 == result.entries.size();
        if (e.end < 0) {
            EXPECT_TRUE(last) << "only the last picture may be left open";
            continue;
        }
        ASSERT_LT(e.start, static_cast<uint64_t>(e.end));
        const std::string picture =
            result.es.substr(e.start, static_cast<uint64_t>(e.end) - e.start + 1);
        if (!s.h264) {
            // From its sequence header to the end of the first picture, which the next start
            // code (of the next picture or sequence header) ends.
            EXPECT_TRUE(starts_with(picture, 0, seq_start));
            size_t pictures = 0;
            for (size_t at = picture.find(pic_start); at != std::string::npos;
                 at = picture.find(pic_start, at + 1))
                ++pictures;
            EXPECT_EQ(pictures, 1u);
            EXPECT_TRUE(starts_with(result.es, static_cast<uint64_t>(e.end) + 1, start_code));
            // ffprobe's packet for the keyframe is the same bytes.
            EXPECT_EQ(picture.size(), sizes[e.pes_offset]);
        } else {
            // From the first slice's start code to the end of the last slice; with the units
            // that preceded it (delimiter, SPS, PPS, SEI) it is ffprobe's access unit.
            const size_t zeros = picture.find('\1');
            ASSERT_LE(zeros, 3u);
            EXPECT_EQ(picture[zeros + 1] & 0x1F, 5);
            EXPECT_TRUE(starts_with(result.es, static_cast<uint64_t>(e.end) + 1, start_code) ||
                        starts_with(result.es, static_cast<uint64_t>(e.end) + 1,
                                    std::string("\0", 1) + start_code));
            EXPECT_EQ(e.header_data.size() + picture.size(), sizes[e.pes_offset]);
        }
    }
}

const Stream exact_streams[] = {
    {"testdata/ts/video/tsduck-test-025.ts", false, 0x1000, false},
    {"testdata/ts/video/tsduck-test-064.ts", false, 0x100, true},
    {"mpeg2-closed-gop25.ts", true, 0x100, false},
    {"mpeg2-open-gop12.ts", true, 0x100, false},
    {"h264-idr2s.ts", true, 0x100, true},
    {"h264-cbr.ts", true, 0x100, true},
};

std::string stream_name(const ::testing::TestParamInfo<Stream>& info) {
    std::string name = info.param.name;
    name = name.substr(name.rfind('/') + 1);
    name = name.substr(0, name.find('.'));
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(VideoParsers, ExactKeyframes, ::testing::ValuesIn(exact_streams),
                         stream_name);

// H.264 without IDR pictures: an entry starts at a referenced picture whose access unit carries
// a recovery point SEI, as ffprobe's keyframes do, so the positions must agree. The entries can
// be longer than ffprobe's packets, and the test says where:
// - whole frames: the parser tells pictures apart by frame_num only, so the two fields of an
//   interlaced frame (same frame_num, one access unit each for ffprobe) make one entry: the
//   recovery point field and the field coded from it, which a player needs to show the frame;
// - noise: tsduck-test-143 has packets with continuity errors and stray scrambling bits inside
//   the frame, which ffprobe drops and which the index keeps (it copies packets, not bytes).
// Where they would also differ, and does not happen in these streams: ffprobe also flags an
// unreferenced picture with a recovery point, and any picture with one before the first SPS and
// PPS, neither of which the index can use.
enum class Extent { picture, field_pair, noisy_field_pair };

struct RecoveryStream {
    Stream stream;
    Extent extent;
};

class RecoveryKeyframes : public ::testing::TestWithParam<RecoveryStream> {};

TEST_P(RecoveryKeyframes, IntraEntriesStartAtFfprobesKeyframes) {
    CORVID_REQUIRE_PROGRAM("ffprobe");
    const Stream& s = GetParam().stream;
    const std::string path = locate(s);
    if (path.empty())
        GTEST_SKIP() << s.name << " not found (shared test data or generated streams)";
    bool ok = false;
    const auto probed = Testing::ffprobe_packets(path, s.pid, &ok);
    ASSERT_TRUE(ok && !probed.empty()) << "ffprobe failed on " << path;
    // Packets without a position (a second field in the same PES packet) still have a size.
    bool all_ok = false;
    const auto all = Testing::ffprobe_packets(path, s.pid, &all_ok, true);
    std::set<uint64_t> keyframes;
    for (const auto& p : probed)
        if (p.key) keyframes.insert(p.pos);
    ASSERT_FALSE(keyframes.empty());

    const Scan result = scan(path, s.pid, true);
    std::set<uint64_t> starts;
    for (const Entry& e : result.entries)
        starts.insert(e.pes_offset);
    EXPECT_EQ(starts, keyframes);

    for (const Entry& e : result.entries) {
        SCOPED_TRACE("entry at " + std::to_string(e.pes_offset));
        ASSERT_GE(e.end, 0);
        const std::string picture =
            result.es.substr(e.start, static_cast<uint64_t>(e.end) - e.start + 1);
        const size_t zeros = picture.find('\1');
        ASSERT_LE(zeros, 3u);
        const int nal_type = picture[zeros + 1] & 0x1F;
        EXPECT_TRUE(nal_type == 1 || nal_type == 5);
        const uint64_t size = e.header_data.size() + picture.size();
        // ffprobe's keyframe packet and the one after it.
        auto key = std::find_if(all.begin(), all.end(), [&](const Testing::ProbedPacket& p) {
            return p.key && p.pos == e.pes_offset;
        });
        ASSERT_NE(key, all.end());
        ASSERT_NE(key + 1, all.end());
        switch (GetParam().extent) {
            case Extent::picture:
                EXPECT_EQ(size, key->size);
                break;
            case Extent::field_pair:
                EXPECT_EQ(size, key->size + (key + 1)->size);
                break;
            case Extent::noisy_field_pair:
                EXPECT_GE(size, key->size + (key + 1)->size);
                EXPECT_LT(size, key->size + (key + 1)->size + 4 * 184);
                break;
        }
    }
}

const RecoveryStream recovery_streams[] = {
    {{"testdata/ts/video/tsduck-test-026.ts", false, 0x78, true}, Extent::field_pair},
    {{"testdata/ts/video/tsduck-test-143.ts", false, 0x3d, true}, Extent::noisy_field_pair},
    {{"h264-open-gop.ts", true, 0x100, true}, Extent::picture},
    {{"h264-intra-refresh.ts", true, 0x100, true}, Extent::picture},
};

std::string recovery_name(const ::testing::TestParamInfo<RecoveryStream>& info) {
    return stream_name(::testing::TestParamInfo<Stream>(info.param.stream, info.index));
}

INSTANTIATE_TEST_SUITE_P(VideoParsers, RecoveryKeyframes, ::testing::ValuesIn(recovery_streams),
                         recovery_name);

// The PES headers of the video PID, read from each packet that starts one, against the
// timestamps ffprobe gives the packet at that position (in 90 kHz ticks, as sent).
class PESTimestamps : public ::testing::TestWithParam<Stream> {};

TEST_P(PESTimestamps, MatchFfprobe) {
    CORVID_REQUIRE_PROGRAM("ffprobe");
    const Stream& s = GetParam();
    const std::string path = locate(s);
    if (path.empty()) GTEST_SKIP() << s.name << " not found";
    int status = -1;
    const std::string out =
        Corvid::Testing::run_command("ffprobe -v error -select_streams i:" + std::to_string(s.pid) +
                                         " -show_entries packet=pts,dts,pos -of csv=p=0 " +
                                         Corvid::Testing::shell_quote(path) + " 2>/dev/null",
                                     &status);
    ASSERT_EQ(status, 0);
    std::map<uint64_t, std::pair<int64_t, int64_t>> probed;  // pos -> pts, dts
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        long long pts, dts;
        unsigned long long pos;
        if (std::sscanf(line.c_str(), "%lld,%lld,%llu", &pts, &dts, &pos) == 3)
            probed[pos] = {pts, dts};
    }
    ASSERT_GT(probed.size(), 10u);

    struct Seen {
        uint64_t offset;
        PESHeader header;
    };
    std::vector<Seen> seen;
    MPEG2Parser parser;  // the parser plays no part; the feeder reads the headers
    VideoFeeder feeder(s.pid, parser, [&](const FedRecord& fed) {
        if (fed.record.packet.payload_unit_start) {
            EXPECT_TRUE(fed.pes_read) << fed.record.packet.offset;
            seen.push_back(Seen{fed.record.packet.offset, fed.record.pes});
        }
    });
    TSPipeline pipeline;
    pipeline.add_pipe(feeder);
    const auto file = Corvid::Testing::read_file(path);
    pipeline.feed(file.data(), file.size());
    feeder.finish();

    size_t compared = 0;
    for (const Seen& p : seen) {
        auto it = probed.find(p.offset);
        if (it == probed.end()) continue;  // a PES packet ffprobe merged into another
        ++compared;
        EXPECT_EQ(p.header.kind, PESHeader::video);
        ASSERT_GE(p.header.pts, 0.0) << p.offset;
        EXPECT_EQ(std::llround(p.header.pts * 90000), it->second.first) << p.offset;
        if (p.header.dts >= 0) {
            EXPECT_EQ(std::llround(p.header.dts * 90000), it->second.second) << p.offset;
        }
    }
    EXPECT_GT(compared, probed.size() * 9 / 10);
}

const Stream pes_streams[] = {
    {"testdata/ts/video/tsduck-test-025.ts", false, 0x1000, false},
    {"testdata/ts/video/tsduck-test-064.ts", false, 0x100, true},
    {"testdata/ts/video/tsduck-test-026.ts", false, 0x78, true},
};

INSTANTIATE_TEST_SUITE_P(VideoPID, PESTimestamps, ::testing::ValuesIn(pes_streams), stream_name);

}  // namespace
}  // namespace Corvid::IndexGen
