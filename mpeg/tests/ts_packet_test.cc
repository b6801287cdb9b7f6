#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gantry/channel/channel.h"
#include "gantry/log/tests/line_limit.h"
#include "mpeg/mpeg.h"
#include "mpeg/tests/sections.h"
#include "tests/support/ffmpeg_oracle.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace MPEG = Corvid::MPEG;
namespace Channel = Gantry::Channel;
using namespace Corvid::Testing;
using Lines = std::vector<std::string>;

namespace {

template <typename Body>
Lines logged(Body body) {
    LogCapture capture;
    body();
    return capture.lines();
}

Bytes packet_bytes(std::initializer_list<uint8_t> head, uint8_t fill = 0xAB) {
    Bytes p(MPEG::ts_packet_size, fill);
    std::copy(head.begin(), head.end(), p.begin());
    return p;
}

Bytes rewritten(const MPEG::TSPacket& p) {
    Bytes out(188);
    Channel::BlockWriter w(out.data(), out.size());
    size_t length = p.payload.size();
    uint32_t counter = 0;
    EXPECT_TRUE(MPEG::TSPacket::write(w, p, p.payload.data(), length, counter, true));
    EXPECT_EQ(w.offset() + counter, 188u);  // keep-counter leaves the running counter alone
    return out;
}

}  // namespace

// Adaptation field lengths at their limits, and the failures with the lines an operator greps for,
// through the block and the generic reader. A field length of 184 or more must not move the
// reader into the next packet.
TEST(TSPacketRead, AdaptationFieldLimitsAndFailures) {
    LineLimitOff unlimited;
    const struct {
        Bytes bytes;
        size_t length;
        int payload;  // -1: fails
        const char* line;
    } cases[] = {
        {packet_bytes({0x47, 0x00, 0x11, 0x30, 0}), 188, 183, nullptr},
        {packet_bytes({0x47, 0x00, 0x11, 0x20, 183, 0xC0}), 188, 0, nullptr},
        {packet_bytes({0x47, 0x00, 0x11, 0x20, 184}, 0x47), 188, -1, "1 Bad TS payload size"},
        {packet_bytes({0x47, 0x00, 0x11, 0x20, 255}, 0x47), 188, -1, "1 Bad TS payload size"},
        {packet_bytes({0x48, 0x00, 0x00, 0x10}), 188, -1, "1 Could not read TS header"},
        {packet_bytes({0x47, 0x00, 0x00, 0x10}), 3, -1, "1 Could not read TS header"},
        {packet_bytes({0x47, 0x00, 0x00, 0x10}), 100, -1, "1 TS packet truncated"},
    };
    for (const auto& c : cases) {
        for (bool generic : {true, false}) {
            MPEG::TSPacket p;
            Channel::BlockReader r(c.bytes.data(), c.length);
            bool read = false;
            const Lines lines = logged([&] {
                read = generic ? MPEG::TSPacket::read(static_cast<Channel::Reader&>(r), p)
                               : MPEG::TSPacket::read(r, p);
            });
            EXPECT_EQ(read ? int(p.payload.size()) : -1, c.payload) << int(c.bytes[4]) << generic;
            EXPECT_EQ(lines, c.line ? Lines{c.line} : Lines{}) << int(c.bytes[4]) << generic;
            EXPECT_LE(r.offset(), c.length);
        }
    }
    // A PCR flag in a field too short for the PCR is ignored rather than read into the payload.
    MPEG::TSPacket p;
    ASSERT_TRUE(MPEG::TSPacket::read(
        packet_bytes({0x47, 0x01, 0x00, 0x30, 2, 0x50, 0xEE, 0x11}).data(), p));
    EXPECT_TRUE(p.pcr == -1.0 && p.random_access && p.payload.size() == 181 &&
                p.payload[0] == 0x11);
}

// Found by the fuzzer: an extension of 511 (the field allows 0..299) with the largest base reads as
// a PCR past the 2^33 x 300 tick wrap; written back it is stored modulo the wrap (211 ticks).
TEST(TSPacketRead, OutOfRangePcrExtensionWrapsWhenWrittenBack) {
    MPEG::TSPacket p, q;
    const auto bytes =
        packet_bytes({0x47, 0x00, 0x7E, 0x3D, 0x6A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    ASSERT_TRUE(MPEG::TSPacket::read(bytes.data(), p));
    const double ticks = (std::pow(2.0, 33) - 1) * 300 + 511;
    EXPECT_DOUBLE_EQ(p.pcr, ticks / 27e6);
    ASSERT_TRUE(MPEG::TSPacket::read(rewritten(p).data(), q));
    EXPECT_DOUBLE_EQ(q.pcr, (ticks - std::pow(2.0, 33) * 300) / 27e6);
    EXPECT_EQ(q.payload, p.payload);
}

// A corrupt feed fails every packet: its lines must not make every capture thread queue behind the
// log's locks. The limit is per thread, so this runs on one of its own.
TEST(TSPacketRead, ErrorLinesAreRateLimitedPerThread) {
    Lines lines;
    std::thread([&] {
        Gantry::Time::Stamp now("2024-03-04T12:00:00Z");
        Gantry::Log::thread_limiter().set_clock([&] { return now; });
        MPEG::TSPacket p;
        const auto bad_sync = packet_bytes({0x48});
        lines = logged([&] {
            for (int i = 0; i < 100; i++)
                MPEG::TSPacket::read(bad_sync.data(), p);
            now += Gantry::Time::Duration(1.0);
            MPEG::TSPacket::read(bad_sync.data(), p);
        });
    }).join();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines.back(), "1 Could not read TS header (95 more suppressed)");
}

// tsduck-test-142: 5 bad sync bytes, as the capture notes say. tsduck-test-143: 562 packets with
// scrambling bits, as the notes say, and discontinuity flags in packets 210, 451, 1095, 1199, 1305
// and 2925 (not the "2" of the notes); four adaptation field lengths above 183, dropped without
// disturbing the packets after them. The in-memory form must see every packet as the block reader.
TEST(TSPacketRead, RealCapturesMatchTheCaptureNotes) {
    LineLimitOff unlimited;
    const struct {
        const char* name;
        const char* error;
        size_t errors, scrambled;
        std::set<size_t> discontinuities;
    } cases[] = {
        {"testdata/ts/epg/tsduck-test-142.ts", "1 Could not read TS header", 5, 0, {}},
        {"testdata/ts/video/tsduck-test-143.ts",
         "1 Bad TS payload size",
         4,
         562,
         {210, 451, 1095, 1199, 1305, 2925}},
    };
    for (const auto& c : cases) {
        CORVID_REQUIRE_SHARED(path, c.name);
        auto data = read_file(path);
        size_t good = 0, scrambled = 0;
        std::set<size_t> discontinuities;
        auto errors = logged([&] {
            MPEG::TSPacket p, q;
            for (size_t at = 0; at < data.size(); at += 188) {
                Channel::BlockReader r(data.data() + at, 188);
                const bool read = MPEG::TSPacket::read(r, p);
                good += read;
                ASSERT_EQ(MPEG::TSPacket::read(data.data() + at, q), read) << at;
                ASSERT_TRUE(!read || (p.pid == q.pid && p.pcr == q.pcr && p.payload == q.payload &&
                                      p.continuity_counter == q.continuity_counter));
                scrambled += p.scrambling != 0;  // a dropped packet still has its header read
                if (p.discontinuity) discontinuities.insert(at / 188);
            }
        });
        EXPECT_EQ(good, data.size() / 188 - c.errors) << c.name;
        EXPECT_EQ(errors, Lines(2 * c.errors, c.error)) << c.name;  // both forms log
        EXPECT_EQ(scrambled, c.scrambled) << c.name;
        EXPECT_EQ(discontinuities, c.discontinuities) << c.name;
    }
}

// On an FFmpeg stream: random_access_indicator marks exactly the packets where ffprobe's keyframes
// start, the PCR never runs backwards nor behind the first presentation time, and every packet
// written back with its own counter comes out byte for byte the same.
TEST(TSPacketRead, FfmpegStreamAgreesWithFfprobeAndRewritesByteForByte) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    CORVID_REQUIRE_PROGRAM("ffprobe");
    bool ok = false;
    const auto probed = ffprobe_packets(path, "v:0", &ok);
    ASSERT_TRUE(ok && !probed.empty());
    std::set<uint64_t> keyframes, random_access;
    for (const auto& p : probed)
        if (p.key) keyframes.insert(static_cast<uint64_t>(p.pos));
    const auto data = read_file(path);
    MPEG::TSPacket p;
    double first_pcr = -1, last_pcr = -1;
    for (size_t at = 0; at < data.size(); at += 188) {
        ASSERT_TRUE(MPEG::TSPacket::read(data.data() + at, p));
        ASSERT_TRUE(std::equal(data.begin() + at, data.begin() + at + 188, rewritten(p).begin()))
            << "packet at " << at;
        if (p.random_access && p.pid == 0x100) random_access.insert(at);
        if (p.pcr < 0) continue;
        if (first_pcr < 0) first_pcr = p.pcr;
        EXPECT_GE(p.pcr, last_pcr);
        last_pcr = p.pcr;
    }
    EXPECT_EQ(keyframes.size(), 2u);
    EXPECT_EQ(random_access, keyframes);
    EXPECT_LE(first_pcr, probed[0].pts_time);
    EXPECT_GT(first_pcr, probed[0].pts_time - 1.0);
}
