// The video parsers over real and generated streams, against ffprobe's keyframes and timestamps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "indexgen/bench/video_feeder.h"
#include "tests/support/ffmpeg_oracle.h"
#include "tests/support/test_support.h"

namespace Corvid::IndexGen {
namespace {

struct Stream {
    const char* name;  // in the shared test data, or made by make-test-streams
    uint16_t pid;
    enum Codec { mpeg2, idr, recovery } codec;
    // An entry (header data and picture) against ffprobe's keyframe packet: the packet; with the
    // next; with the next and up to 4 packets of noise.
    enum Extent { picture, field_pair, noisy_pair } extent = picture;
};

// The PES packet holding its start, its first and last byte in the elementary stream (end -1:
// never ended), the size of its header data.
struct Entry {
    uint64_t pes_offset, start;
    int64_t end;
    size_t header_size;
};

class Keyframes : public ::testing::TestWithParam<Stream> {};

// The PES packets where the parser starts an intra entry are exactly those that ffprobe flags as
// keyframes, and each entry, with the delimiter, SPS, PPS and SEI units of its access unit as
// header data, is that picture as ffprobe cuts it. Where IDR pictures are missing, an entry (like
// ffprobe's keyframe) starts at a picture with a recovery point SEI; it holds both fields of an
// interlaced frame, which a player needs, and keeps the packets of noise inside the frame
// (continuity errors, stray scrambling bits in tsduck-test-143) that ffprobe drops. The PES
// headers read on the way carry ffprobe's timestamps.
TEST_P(Keyframes, IntraEntriesAreFfprobesKeyframes) {
    CORVID_REQUIRE_PROGRAM("ffprobe");
    const Stream& s = GetParam();
    const std::string path = std::string(s.name).starts_with("testdata")
                                 ? Corvid::Testing::shared_path(s.name)
                                 : Corvid::Testing::generated_stream(s.name);
    if (path.empty()) GTEST_SKIP() << s.name << " not found (shared data or generated streams)";
    bool ok = false;
    const auto probed = Corvid::Testing::ffprobe_packets(path, "i:" + std::to_string(s.pid), &ok);
    ASSERT_TRUE(ok && !probed.empty()) << "ffprobe failed on " << path;
    std::map<uint64_t, size_t> keyframes;  // position -> index in probed
    for (size_t i = 0; i < probed.size(); ++i)
        if (probed[i].key && probed[i].pos >= 0)
            keyframes[static_cast<uint64_t>(probed[i].pos)] = i;

    std::string es;  // the video elementary stream, PES headers left out
    std::vector<Entry> entries;
    std::map<uint64_t, PESHeader> pes;  // the PES headers read, by packet offset
    size_t unread_pes = 0;
    H264Parser h264;
    MPEG2Parser mpeg2;
    Testing::VideoFeeder feeder(
        s.pid, s.codec == Stream::mpeg2 ? static_cast<Parser&>(mpeg2) : h264,
        [&](const Testing::FedRecord& fed) {
            const PacketRecord& r = fed.record;
            const auto& p = r.packet.payload;
            if (r.packet.payload_unit_start && fed.pes_read) pes[r.packet.offset] = r.pes;
            unread_pes += r.packet.payload_unit_start && !fed.pes_read;
            const int64_t begin = std::min<int64_t>(r.es_offset, static_cast<int64_t>(p.size()));
            for (const FrameMark& m : r.marks) {
                const int64_t at = static_cast<int64_t>(es.size()) + std::max(m.offset - begin, 0L);
                if (!m.is_end) {
                    entries.push_back(
                        {fed.pes_offset, static_cast<uint64_t>(at), -1, r.header_data.size()});
                } else if (!entries.empty() && entries.back().end < 0) {
                    entries.back().end = at;
                }
            }
            es.append(p.begin() + begin, p.end());
        });
    TSPipeline pipeline;
    pipeline.add_pipe(feeder);
    const auto file = Corvid::Testing::read_file(path);
    for (size_t at = 0; at < file.size(); at += 1316)
        pipeline.feed(file.data() + at, std::min<size_t>(1316, file.size() - at));
    feeder.finish();

    std::set<uint64_t> starts, positions;
    for (const Entry& e : entries)
        starts.insert(e.pes_offset);
    for (const auto& [position, index] : keyframes)
        positions.insert(position);
    EXPECT_EQ(starts, positions);
    EXPECT_TRUE(s.codec == Stream::recovery || starts.size() == entries.size());
    for (const Entry& e : entries) {
        SCOPED_TRACE("entry at " + std::to_string(e.pes_offset));
        if (e.end < 0) {  // only the last picture may be left open
            EXPECT_TRUE(&e == &entries.back() && s.codec != Stream::recovery);
            continue;
        }
        // MPEG-2: from the sequence header; H.264: from the first slice's start code.
        const std::string picture = es.substr(e.start, static_cast<uint64_t>(e.end) - e.start + 1);
        const size_t zeros = picture.find('\1');
        ASSERT_LE(zeros, 3u);
        const int type = static_cast<uint8_t>(picture[zeros + 1]);
        EXPECT_TRUE(s.codec == Stream::mpeg2
                        ? type == 0xB3 && zeros == 2
                        : (type & 0x1F) == 5 || (s.codec == Stream::recovery && (type & 0x1F) == 1))
            << type;
        const auto key = keyframes.find(e.pes_offset);
        ASSERT_NE(key, keyframes.end());
        const uint64_t size = e.header_size + picture.size(), first = probed[key->second].size;
        const uint64_t pair =
            first + (key->second + 1 < probed.size() ? probed[key->second + 1].size : 0);
        const uint64_t least = s.extent == Stream::picture ? first : pair;
        const uint64_t most = s.extent == Stream::noisy_pair ? pair + 4 * 184 : least;
        EXPECT_TRUE(size >= least && size <= most) << size << ", ffprobe " << least;
    }

    EXPECT_TRUE(s.extent == Stream::noisy_pair || unread_pes == 0) << unread_pes;
    size_t compared = 0, stamped = 0;
    for (const auto& p : probed) {
        const auto it = pes.find(static_cast<uint64_t>(p.pos));
        stamped += p.pos >= 0 && p.pts >= 0 && p.dts >= 0;
        if (p.pos < 0 || p.pts < 0 || p.dts < 0 || it == pes.end()) continue;
        ++compared;
        EXPECT_EQ(std::llround(it->second.pts * 90000), p.pts) << p.pos;
        EXPECT_TRUE(it->second.dts < 0 || std::llround(it->second.dts * 90000) == p.dts) << p.pos;
    }
    EXPECT_GT(compared, stamped * 9 / 10);
}

INSTANTIATE_TEST_SUITE_P(
    VideoParsers, Keyframes,
    ::testing::Values(
        Stream{"testdata/ts/video/tsduck-test-025.ts", 0x1000, Stream::mpeg2},
        Stream{"testdata/ts/video/tsduck-test-064.ts", 0x100, Stream::idr},
        Stream{"testdata/ts/video/tsduck-test-026.ts", 0x78, Stream::recovery, Stream::field_pair},
        Stream{"testdata/ts/video/tsduck-test-143.ts", 0x3d, Stream::recovery, Stream::noisy_pair},
        Stream{"mpeg2-closed-gop25.ts", 0x100, Stream::mpeg2},
        Stream{"mpeg2-open-gop12.ts", 0x100, Stream::mpeg2},
        Stream{"h264-idr2s.ts", 0x100, Stream::idr}, Stream{"h264-cbr.ts", 0x100, Stream::idr},
        Stream{"h264-open-gop.ts", 0x100, Stream::recovery},
        Stream{"h264-intra-refresh.ts", 0x100, Stream::recovery}),
    [](const auto& info) {
        std::string name = info.param.name;
        name = name.substr(name.rfind('/') + 1, name.rfind('.') - name.rfind('/') - 1);
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

}  // namespace
}  // namespace Corvid::IndexGen
