// RTP: headers skipped by their real length, the sequence accounting, "auto" on a bare stream,
// and a real stream sent in RTP (by our wrapping, then by ffmpeg) recorded as the bare stream.
#include "capture/rtp.h"

#include "capture/capture.h"
#include "capture/tests/source_netns.h"
#include "epg/epg_decoder.h"
#include "epg/epg_store.h"
#include "gantry/xml/parser.h"

namespace Corvid::Capture {
namespace {

// Payload behind a header with csrcs CSRCs, an extension of ext words (none if negative), and
// padding bytes.
std::vector<uint8_t> rtp(const std::vector<uint8_t>& payload, uint16_t sequence, int csrcs, int ext,
                         int padding) {
    std::vector<uint8_t> out = {uint8_t(0x80 | (padding ? 0x20 : 0) | (ext >= 0) << 4 | csrcs), 33,
                                uint8_t(sequence >> 8), uint8_t(sequence)};
    out.resize(12 + 4 * csrcs, 0xC5);
    if (ext >= 0) out.insert(out.end(), {0xAB, 0xCD, 0, uint8_t(ext)});
    out.resize(out.size() + 4 * std::max(ext, 0), 0xEE);
    out.insert(out.end(), payload.begin(), payload.end());
    out.resize(out.size() + padding, uint8_t(padding));
    return out;
}

TEST(RtpTest, HeadersSequencesAndBareStreams) {
    const std::vector<uint8_t> ts(188, 0x47);
    const std::pair<std::vector<uint8_t>, size_t> headers[] = {
        {rtp(ts, 7, 3, -1, 0), 24},
        {rtp(ts, 7, 1, 2, 3), 28},
        {ts, 0},
        {{0x80, 33, 0, 7, 0, 0, 0, 0, 0, 0, 0}, 0},                 // short
        {{0x90, 33, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}, 0},  // extension past the end
        {{0xA0, 33, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 2}, 0}};          // padding into the header
    for (const auto& [datagram, header] : headers) {
        const auto parsed = parse_rtp(datagram.data(), datagram.size());
        EXPECT_EQ(parsed ? parsed->header_length : 0, header);
        EXPECT_TRUE(!parsed || (parsed->payload_length == 188 && parsed->sequence == 7));
    }
    const std::pair<std::vector<uint16_t>, uint64_t> sequences[] = {
        {{10, 11, 14, 20}, 7},            // jumps
        {{65534, 1, 65535, 0, 3}, 1},     // a wrap, reordered
        {{100, 40000, 40001, 40003}, 1},  // a restarted sender
        {{100, 40000, 101, 99}, 0}};      // a stray; late, before the first
    for (const auto& [numbers, lost] : sequences) {
        RtpSequence sequence;
        for (uint16_t number : numbers)
            sequence.take(number);
        EXPECT_EQ(sequence.lost(), lost) << numbers[1];
    }

    // Cuts of a real bare stream, aligned or not, with room for a header: "auto" keeps them whole.
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    const std::vector<uint8_t> stream = Testing::read_file(path);
    CaptureCounters counters;
    RtpUnwrapper automatic(RtpMode::AUTO, counters);
    for (size_t at = 0; at + 1400 <= stream.size(); at += 997) {
        const uint8_t* data = stream.data() + at;
        size_t length = 12 + 188 * (at % 7 + 1);
        ASSERT_TRUE(automatic.unwrap(data, length) && data == stream.data() + at &&
                    length == 12 + 188 * (at % 7 + 1))
            << at;
    }
}

// Our wrapping (every header shape, a wrap, duplicates): the segment is the stream itself. ffmpeg
// remuxes as it sends: its own reading of the segment, the video packets it sent, is the oracle.
TEST(RtpTest, RealStreamsRecordedBare) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    const std::vector<uint8_t> stream = Testing::read_file(path);
    EPGStore store;
    EPGDecoder decoder(store);
    for (const bool ffmpeg : {false, true}) {
        if (ffmpeg && !Testing::have_program("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
        Testing::TempDir dir;
        Gantry::XML::Parser parser;
        parser.read("<capture id='rtp'><source address='127.0.0.1'/><file prefix='" + dir.path() +
                    "/'/></capture>");
        Capture capture(parser.root(), Gantry::XML::Element::none, decoder, true);
        ASSERT_TRUE(capture.valid());
        const CaptureCounters& counters = capture.counters();
        std::vector<std::vector<uint8_t>> datagrams;
        uint16_t sequence = 65000;
        for (const auto& bare : datagrams_of(stream)) {
            datagrams.push_back(rtp(bare, sequence, sequence % 4, sequence % 4 - 2, sequence % 3));
            if (++sequence % 100 == 0) datagrams.push_back(datagrams.back());
        }
        int status = 0;
        const std::string port = std::to_string(capture.local_end_point().port());
        if (!ffmpeg) send_all(datagrams, capture.local_end_point());
        const std::string output =
            !ffmpeg ? ""
                    : Testing::run_command(
                          "ffmpeg -nostdin -v error -readrate 8 -i " + Testing::shell_quote(path) +
                              " -c copy -map 0 -f rtp_mpegts rtp://127.0.0.1:" + port + " 2>&1",
                          &status);
        ASSERT_EQ(status, 0) << output;
        uint64_t seen = 0;  // everything was sent: wait for the count to settle
        ASSERT_TRUE(eventually(
            [&] { return std::exchange(seen, counters.datagrams.load()) == seen && seen > 1000; }));
        capture.stop();
        const std::string segment = std::filesystem::directory_iterator(dir.path())->path();
        EXPECT_EQ(counters.rtp_lost + counters.rtp_rejected, 0u);
        if (!ffmpeg) {
            EXPECT_TRUE(Testing::read_file(segment) == stream) << "the segment is not the stream";
            EXPECT_EQ(counters.datagrams, datagrams.size());
            EXPECT_EQ(counters.rtp_duplicates, datagrams.size() - datagrams_of(stream).size());
            continue;
        }
        const auto video = [](const std::string& file) {
            return Testing::run_command(
                "ffprobe -v error -select_streams v -show_entries "
                "packet=pts,dts,size,flags -of csv " +
                Testing::shell_quote(file) + " 2>/dev/null");
        };
        EXPECT_GT(video(path).size(), 1000u);
        EXPECT_EQ(video(segment), video(path));
    }
}

}  // namespace
}  // namespace Corvid::Capture
