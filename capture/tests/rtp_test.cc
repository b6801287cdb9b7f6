// RTP: headers skipped by their real length, the receiver's sequence accounting, what "auto"
// takes for RTP, and whole captures of a real stream sent in RTP, by our own wrapping and by
// ffmpeg's rtp_mpegts muxer, recorded as the bare stream.
#include "capture/rtp.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "capture/capture.h"
#include "capture/tests/source_support.h"
#include "epg/epg_decoder.h"
#include "epg/epg_store.h"
#include "gantry/xml/parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Corvid::Capture {
namespace {

namespace XML = Gantry::XML;

const std::vector<uint8_t> PACKETS = [] {
    std::vector<uint8_t> two(2 * 188, 0xFF);
    two[0] = two[188] = 0x47;
    return two;
}();

TEST(RtpTest, HeadersAreSkippedByTheirRealLength) {
    struct Case {
        std::vector<uint8_t> datagram;
        size_t header;  // 0: not RTP
    } cases[] = {
        {rtp_datagram(PACKETS, 7), 12},
        {rtp_datagram(PACKETS, 7, 3), 24},
        {rtp_datagram(PACKETS, 7, 1, 2), 28},
        {rtp_datagram(PACKETS, 7, 15, 0, 9), 76},
        {PACKETS, 0},                                               // version 1
        {std::vector<uint8_t>(11, 0x80), 0},                        // short
        {{0x90, 33, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}, 0},  // extension past the end
        {{0xA0, 33, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}, 0},           // padding into the header
        {{0xA0, 33, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0},           // zero padding
    };
    for (const Case& c : cases) {
        const auto rtp = parse_rtp(c.datagram.data(), c.datagram.size());
        ASSERT_EQ(rtp.has_value(), c.header != 0) << c.header;
        if (!rtp) continue;
        EXPECT_EQ(rtp->header_length, c.header);
        EXPECT_EQ(rtp->payload_length, PACKETS.size());
        EXPECT_EQ(rtp->sequence, 7);
    }
}

TEST(RtpTest, LossFromSequenceNumbers) {
    using V = RtpSequence::Verdict;
    struct Case {
        const char* what;
        std::vector<uint16_t> sequence;
        std::vector<V> verdicts;
        uint64_t lost;
    } cases[] = {
        {"jumps", {10, 11, 14, 20}, {V::NEXT, V::NEXT, V::NEXT, V::NEXT}, 7},
        {"wrap", {65534, 65535, 0, 2}, {V::NEXT, V::NEXT, V::NEXT, V::NEXT}, 1},
        {"duplicates", {5, 5, 6, 5}, {V::NEXT, V::DUPLICATE, V::NEXT, V::DUPLICATE}, 0},
        {"reordered over the wrap",
         {65534, 1, 65535, 0, 65535, 3},
         {V::NEXT, V::NEXT, V::LATE, V::LATE, V::DUPLICATE, V::NEXT},
         1},
        {"late beyond the window", {100, 200, 120}, {V::NEXT, V::NEXT, V::STRAY}, 99},
        {"before the first", {100, 99, 101}, {V::NEXT, V::LATE, V::NEXT}, 0},
        {"restarted sender", {100, 40000, 40001, 40003}, {V::NEXT, V::STRAY, V::NEXT, V::NEXT}, 1},
        {"stray", {100, 40000, 101}, {V::NEXT, V::STRAY, V::NEXT}, 0},
    };
    for (const Case& c : cases) {
        RtpSequence sequence;
        std::vector<V> verdicts;
        for (uint16_t number : c.sequence)
            verdicts.push_back(sequence.take(number));
        EXPECT_EQ(verdicts, c.verdicts) << c.what;
        EXPECT_EQ(sequence.lost(), c.lost) << c.what;
    }
}

// Every cut of a real bare stream, aligned or not, passes "auto" untouched; "yes" refuses bare
// datagrams, "no" keeps RTP ones whole.
TEST(RtpTest, ModesAndAutoNeverTakesABareStream) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    const std::vector<uint8_t> stream = Testing::read_file(path);
    CaptureCounters counters;
    RtpUnwrapper automatic(RtpMode::AUTO, counters);
    for (size_t at = 0; at + 1400 <= stream.size(); at += 997) {
        const uint8_t* data = stream.data() + at;
        size_t length = 12 + 188 * (at % 7 + 1);
        ASSERT_TRUE(automatic.unwrap(data, length));
        ASSERT_EQ(data, stream.data() + at);
        ASSERT_EQ(length, 12 + 188 * (at % 7 + 1));
    }
    const auto rtp = rtp_datagram(PACKETS, 1, 1);
    for (RtpMode mode : {RtpMode::AUTO, RtpMode::YES, RtpMode::NO}) {
        RtpUnwrapper unwrapper(mode, counters);
        const uint8_t* data = rtp.data();
        size_t length = rtp.size();
        EXPECT_TRUE(unwrapper.unwrap(data, length));
        EXPECT_EQ(length, mode == RtpMode::NO ? rtp.size() : PACKETS.size());
        data = PACKETS.data();
        length = PACKETS.size();
        EXPECT_EQ(unwrapper.unwrap(data, length), mode != RtpMode::YES);
    }
    EXPECT_EQ(counters.rtp_rejected, 1u);
}

class RtpCaptureTest : public ::testing::Test {
  protected:
    std::unique_ptr<Capture> make(const std::string& rtp) {
        XML::Parser parser;
        parser.read("<capture id=\"rtp\"><source address=\"127.0.0.1\" rtp=\"" + rtp +
                    "\"/><file prefix=\"" + dir.path() + "/\"/></capture>");
        return std::make_unique<Capture>(parser.root(), XML::Element::none, decoder, true);
    }
    // The capture's only segment file, once it stopped.
    std::vector<uint8_t> recording() {
        std::vector<uint8_t> bytes;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            EXPECT_TRUE(bytes.empty()) << entry.path();
            bytes = Testing::read_file(entry.path());
        }
        return bytes;
    }

    Testing::TempDir dir;
    Testing::LogCapture log;
    EPGStore store;
    EPGDecoder decoder{store};
};

// Headers of every shape, a wrap and duplicates: the segment is the stream itself.
TEST_F(RtpCaptureTest, OwnWrappingRecordedAsTheBareStream) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    const std::vector<uint8_t> stream = Testing::read_file(path);
    auto capture = make("auto");
    ASSERT_TRUE(capture->valid());
    std::vector<std::vector<uint8_t>> datagrams;
    uint16_t sequence = 65000;
    for (const auto& bare : datagrams_of(stream)) {
        const int shape = sequence % 4;
        datagrams.push_back(rtp_datagram(bare, sequence++, shape, shape - 2, shape * 3));
        if (sequence % 100 == 0) datagrams.push_back(datagrams.back());
    }
    Gantry::Net::UDPSocket sender;
    send_all(sender, capture->local_end_point(), datagrams);
    ASSERT_TRUE(eventually([&] { return capture->counters().datagrams == datagrams.size(); }));
    capture->stop();
    EXPECT_TRUE(recording() == stream) << "the segment is not the stream sent";
    EXPECT_EQ(capture->counters().rtp_duplicates, datagrams.size() - (stream.size() + 1315) / 1316);
    EXPECT_EQ(capture->counters().rtp_lost + capture->counters().cc_errors, 0u);
}

// ffmpeg remuxes as it sends, so its own reading of the recording is the oracle: the same video
// packets as in the file it sent.
TEST_F(RtpCaptureTest, FfmpegRtpMuxerRecordedPlayable) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    CORVID_REQUIRE_PROGRAM("ffmpeg");
    CORVID_REQUIRE_PROGRAM("ffprobe");
    auto capture = make("yes");
    ASSERT_TRUE(capture->valid());
    const std::string target =
        "rtp://127.0.0.1:" + std::to_string(capture->local_end_point().port());
    int status = -1;
    const std::string output = Testing::run_command(
        "ffmpeg -nostdin -v error -readrate 8 -i " + Testing::shell_quote(path) +
            " -c copy -map 0 -f rtp_mpegts " + target + " 2>&1",
        &status);
    ASSERT_EQ(status, 0) << output;
    // ffmpeg has sent everything: wait for the count to settle.
    uint64_t seen = 0;
    ASSERT_TRUE(eventually([&] {
        const uint64_t last = std::exchange(seen, capture->counters().datagrams.load());
        return seen > 1000 && seen == last;
    }));
    capture->stop();
    EXPECT_EQ(capture->counters().rtp_lost + capture->counters().rtp_rejected, 0u);
    const std::string recorded = dir.file("recorded.ts");
    const auto bytes = recording();
    Testing::write_file(recorded, std::string(bytes.begin(), bytes.end()));
    const auto video_packets = [](const std::string& file) {
        return Testing::run_command(
            "ffprobe -v error -select_streams v -show_entries "
            "packet=pts,dts,size,flags -of csv " +
            Testing::shell_quote(file) + " 2>/dev/null");
    };
    const std::string expected = video_packets(path);
    EXPECT_GT(expected.size(), 1000u);
    EXPECT_EQ(video_packets(recorded), expected);
}

}  // namespace
}  // namespace Corvid::Capture
