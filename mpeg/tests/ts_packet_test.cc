#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gantry/channel/channel.h"
#include "mpeg/mpeg.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace MPEG = Corvid::MPEG;
namespace Channel = Gantry::Channel;
using Corvid::Testing::read_file;
using Corvid::Testing::run_command;
using Corvid::Testing::shell_quote;

namespace {

// Error-level lines logged while body runs; any line at another level fails the test.
template <typename Body>
std::vector<std::string> logged_errors(Body body) {
    Corvid::Testing::LogCapture capture;
    body();
    EXPECT_EQ(capture.errors().size(), capture.count());
    return capture.errors();
}

std::vector<uint8_t> packet_bytes(std::initializer_list<uint8_t> head, uint8_t fill = 0xAB) {
    std::vector<uint8_t> p(MPEG::ts_packet_size, fill);
    std::copy(head.begin(), head.end(), p.begin());
    return p;
}

}  // namespace

TEST(TSPacketHeader, PlainPacketCarries184PayloadBytes) {
    auto bytes = packet_bytes({0x47, 0x41, 0x00, 0xD7});  // PUSI, pid 0x100, scrambled 3, cc 7
    for (bool generic : {true, false}) {
        Channel::BlockReader block(bytes.data(), bytes.size());
        MPEG::TSPacket p;
        p.discontinuity = p.random_access = true;  // left over from an earlier packet
        p.pcr = 5;
        bool ok = generic ? MPEG::TSPacket::read(static_cast<Channel::Reader&>(block), p)
                          : MPEG::TSPacket::read(block, p);
        ASSERT_TRUE(ok);
        EXPECT_EQ(p.pid, 0x100);
        EXPECT_TRUE(p.payload_unit_start);
        EXPECT_EQ(p.scrambling, 3u);
        EXPECT_EQ(p.continuity_counter, 7u);
        EXPECT_FALSE(p.discontinuity);
        EXPECT_FALSE(p.random_access);
        EXPECT_EQ(p.pcr, -1.0);
        EXPECT_EQ(p.payload.size(), 184u);
        EXPECT_EQ(p.payload[0], 0xAB);
        EXPECT_EQ(block.offset(), 188u);
    }
}

TEST(TSPacketHeader, AdaptationFieldLengthsAtTheLimits) {
    // Length 0: one byte of adaptation field, 183 payload bytes.
    auto zero = packet_bytes({0x47, 0x00, 0x11, 0x30, 0x00});
    Channel::BlockReader r0(zero.data(), zero.size());
    MPEG::TSPacket p;
    ASSERT_TRUE(MPEG::TSPacket::read(r0, p));
    EXPECT_EQ(p.payload.size(), 183u);
    EXPECT_EQ(r0.offset(), 188u);

    // Length 183: the field fills the packet, the payload is empty.
    auto full = packet_bytes({0x47, 0x00, 0x11, 0x20, 183, 0xC0}, 0xFF);
    Channel::BlockReader r1(full.data(), full.size());
    ASSERT_TRUE(MPEG::TSPacket::read(r1, p));
    EXPECT_TRUE(p.payload.empty());
    EXPECT_TRUE(p.discontinuity);
    EXPECT_TRUE(p.random_access);
    EXPECT_EQ(r1.offset(), 188u);

    // 184 and above cannot fit. The reader must not be moved past this packet, even when the
    // buffer goes on (the next packet follows at 188).
    for (uint8_t length : {uint8_t{184}, uint8_t{255}}) {
        auto bad = packet_bytes({0x47, 0x00, 0x11, 0x20, length, 0x00});
        auto two = bad;
        auto next = packet_bytes({0x47, 0x00, 0x22, 0x10});
        two.insert(two.end(), next.begin(), next.end());
        Channel::BlockReader r(two.data(), two.size());
        size_t payload_length = 0;
        ASSERT_TRUE(MPEG::TSPacket::read_header(r, p, payload_length));
        EXPECT_GT(payload_length, 184u);
        EXPECT_LE(r.offset(), 188u);
        r.rewind(r.offset());
        auto errors = logged_errors([&] { EXPECT_FALSE(MPEG::TSPacket::read(r, p)); });
        EXPECT_EQ(errors, std::vector<std::string>{"Bad TS payload size"});
        EXPECT_LE(r.offset(), 188u);
    }
}

TEST(TSPacketHeader, LargestPcrValue) {
    // Base all ones (33 bits), 6 reserved bits, extension 299.
    auto bytes = packet_bytes({0x47, 0x01, 0x00, 0x30, 7, 0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               0x2B});  // low byte: 1 | 111111 | 1 00101011 = ext 0x12B = 299
    Channel::BlockReader r(bytes.data(), bytes.size());
    MPEG::TSPacket p;
    ASSERT_TRUE(MPEG::TSPacket::read(r, p));
    const double ticks = (std::pow(2.0, 33) - 1) * 300 + 299;
    EXPECT_DOUBLE_EQ(p.pcr, ticks / 27e6);
    EXPECT_NEAR(p.pcr, 95443.7, 0.05);
    EXPECT_EQ(p.payload.size(), 176u);
}

// Found by the fuzzer: an extension of 511 (out of range, the field allows 0..299) with the largest
// base reads as a PCR past the 2^33 x 300 tick wrap. Writing it stores the value modulo the wrap,
// so the re-read PCR is small; nothing else of the packet changes.
TEST(TSPacketHeader, OutOfRangePcrExtensionWrapsWhenWrittenBack) {
    auto bytes =
        packet_bytes({0x47, 0x00, 0x7E, 0x3D, 0x6A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    Channel::BlockReader r(bytes.data(), bytes.size());
    MPEG::TSPacket p;
    ASSERT_TRUE(MPEG::TSPacket::read(r, p));
    const double ticks = (std::pow(2.0, 33) - 1) * 300 + 511;
    EXPECT_DOUBLE_EQ(p.pcr, ticks / 27e6);
    uint8_t out[188];
    Channel::BlockWriter w(out, sizeof out);
    size_t length = p.payload.size();
    uint32_t counter = 0;
    ASSERT_TRUE(MPEG::TSPacket::write(w, p, p.payload.data(), length, counter, true));
    ASSERT_EQ(length, p.payload.size());
    Channel::BlockReader back(out, sizeof out);
    MPEG::TSPacket q;
    ASSERT_TRUE(MPEG::TSPacket::read(back, q));
    EXPECT_DOUBLE_EQ(q.pcr, (ticks - std::pow(2.0, 33) * 300) / 27e6);  // 211 ticks
    EXPECT_EQ(q.payload, p.payload);
    EXPECT_TRUE(q.discontinuity);
    EXPECT_TRUE(q.random_access);
}

// A PCR flag in an adaptation field shorter than the PCR is ignored rather than read into the
// payload: the payload stays where the field length puts it and the packet stays 188 bytes.
TEST(TSPacketHeader, PcrFlagInATooShortFieldIsIgnored) {
    auto bytes = packet_bytes({0x47, 0x01, 0x00, 0x30, 2, 0x50, 0xEE, 0x11, 0x22});
    Channel::BlockReader r(bytes.data(), bytes.size());
    MPEG::TSPacket p;
    ASSERT_TRUE(MPEG::TSPacket::read(r, p));
    EXPECT_EQ(p.pcr, -1.0);
    EXPECT_TRUE(p.random_access);
    ASSERT_EQ(p.payload.size(), 181u);
    EXPECT_EQ(p.payload[0], 0x11);
    EXPECT_EQ(r.offset(), 188u);
}

TEST(TSPacketRead, FailuresLogTheirLineAndReturnFalse) {
    MPEG::TSPacket p;
    auto bad_sync = packet_bytes({0x48, 0x00, 0x00, 0x10});
    Channel::BlockReader r1(bad_sync.data(), bad_sync.size());
    EXPECT_EQ(logged_errors([&] { EXPECT_FALSE(MPEG::TSPacket::read(r1, p)); }),
              std::vector<std::string>{"Could not read TS header"});

    const uint8_t header_only[3] = {0x47, 0x00, 0x00};
    Channel::BlockReader r2(header_only, sizeof header_only);
    EXPECT_EQ(logged_errors([&] { EXPECT_FALSE(MPEG::TSPacket::read(r2, p)); }),
              std::vector<std::string>{"Could not read TS header"});

    auto whole = packet_bytes({0x47, 0x00, 0x00, 0x10});
    for (bool generic : {true, false}) {
        Channel::BlockReader r3(whole.data(), 100);
        auto errors = logged_errors([&] {
            EXPECT_FALSE(generic ? MPEG::TSPacket::read(static_cast<Channel::Reader&>(r3), p)
                                 : MPEG::TSPacket::read(r3, p));
        });
        EXPECT_EQ(errors, std::vector<std::string>{"TS packet truncated"});
        EXPECT_LE(r3.offset(), 100u);
    }
    // Through a stream as well.
    std::istringstream in(std::string(whole.begin(), whole.begin() + 150));
    Channel::StreamReader sr(in);
    EXPECT_EQ(logged_errors([&] { EXPECT_FALSE(MPEG::TSPacket::read(sr, p)); }),
              std::vector<std::string>{"TS packet truncated"});
}

// 300 packets of which 5 have a bad sync byte (the capture notes say so).
TEST(TSPacketRead, CorruptPacketsOfARealCaptureAreRejected) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/epg/tsduck-test-142.ts");
    auto data = read_file(path);
    ASSERT_EQ(data.size(), 300 * 188u);
    size_t good = 0;
    auto errors = logged_errors([&] {
        MPEG::TSPacket p;
        for (size_t at = 0; at < data.size(); at += 188) {
            Channel::BlockReader r(data.data() + at, 188);
            if (MPEG::TSPacket::read(r, p)) ++good;
        }
    });
    EXPECT_EQ(good, 295u);
    EXPECT_EQ(errors, std::vector<std::string>(5, "Could not read TS header"));
}

// 562 packets with scrambling bits, as the capture notes say. The notes also speak of "2
// discontinuity indicators", which the bytes do not bear out: a dump of the adaptation fields shows
// bit 7 of the flags set in packets 210, 451, 1095, 1199, 1305 and 2925. Four packets (not flagged
// as errors) carry an adaptation field length above 183; they are dropped and must not disturb the
// packets after them.
TEST(TSPacketRead, NoisyCaptureFlagsMatchTheCaptureNotes) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-143.ts");
    auto data = read_file(path);
    Channel::BlockReader r(data.data(), data.size());
    MPEG::TSPacket p;
    size_t good = 0, scrambled = 0;
    std::set<size_t> discontinuities;
    auto errors = logged_errors([&] {
        for (size_t at = 0; at < data.size(); at += 188) {
            r.rewind(r.offset());
            r.skip(at);
            if (MPEG::TSPacket::read(r, p)) {
                ++good;
                EXPECT_EQ(r.offset(), at + 188);
            }
            scrambled += p.scrambling != 0;
            if (p.discontinuity) discontinuities.insert(at / 188);
        }
    });
    EXPECT_EQ(good, data.size() / 188 - 4);
    EXPECT_EQ(errors, std::vector<std::string>(4, "Bad TS payload size"));
    EXPECT_EQ(scrambled, 562u);
    EXPECT_EQ(discontinuities, (std::set<size_t>{210, 451, 1095, 1199, 1305, 2925}));
}

// FFmpeg's muxer sets random_access_indicator on the packet that starts each keyframe, and
// ffprobe reports those keyframes with their byte positions: the two sets must agree.
TEST(TSPacketRead, RandomAccessAndPcrOfAnFfmpegStreamAgreeWithFfprobe) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    CORVID_REQUIRE_PROGRAM("ffprobe");
    int status = -1;
    std::string csv = run_command(
        "ffprobe -v error -select_streams v:0 -show_entries "
        "packet=pos,pts_time,flags -of csv=p=0 " +
            shell_quote(path),
        &status);
    ASSERT_EQ(status, 0);
    std::set<uint64_t> keyframes;
    double first_pts = -1;
    std::istringstream lines(csv);
    for (std::string line; std::getline(lines, line);) {
        double pts = 0;
        uint64_t pos = 0;
        char flags[8] = {};
        if (std::sscanf(line.c_str(), "%lf,%lu,%7s", &pts, &pos, flags) != 3) continue;
        if (first_pts < 0) first_pts = pts;
        if (flags[0] == 'K') keyframes.insert(pos);
    }
    ASSERT_EQ(keyframes.size(), 2u);

    auto data = read_file(path);
    Channel::BlockReader r(data.data(), data.size());
    MPEG::TSPacket p;
    std::set<uint64_t> random_access;
    std::set<uint16_t> pcr_pids;
    double first_pcr = -1, last_pcr = -1;
    while (r.remaining() > 0) {
        const uint64_t at = r.offset();
        ASSERT_TRUE(MPEG::TSPacket::read(r, p));
        if (p.random_access && p.pid == 0x100) random_access.insert(at);
        if (p.pcr >= 0) {
            pcr_pids.insert(p.pid);
            if (first_pcr < 0) first_pcr = p.pcr;
            EXPECT_GE(p.pcr, last_pcr);
            last_pcr = p.pcr;
        }
    }
    EXPECT_EQ(random_access, keyframes);
    EXPECT_EQ(pcr_pids, std::set<uint16_t>{0x100});
    // The clock runs a little ahead of the first presentation time, never behind it.
    EXPECT_LE(first_pcr, first_pts);
    EXPECT_GT(first_pcr, first_pts - 1.0);
}

// Packets written by FFmpeg's muxer come out byte for byte the same when parsed and written back
// with their own counter: header, adaptation field, PCR encoding and stuffing.
TEST(TSPacketWrite, RewritesFfmpegPacketsByteForByte) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    auto data = read_file(path);
    Channel::BlockReader r(data.data(), data.size());
    MPEG::TSPacket p;
    std::vector<uint8_t> out(MPEG::ts_packet_size);
    size_t packets = 0, with_adaptation = 0, with_pcr = 0;
    while (r.remaining() > 0) {
        const uint8_t* original = r.current();
        ASSERT_TRUE(MPEG::TSPacket::read(r, p));
        Channel::BlockWriter w(out.data(), out.size());
        size_t length = p.payload.size();
        uint32_t counter = 0;
        ASSERT_TRUE(MPEG::TSPacket::write(w, p, p.payload.data(), length, counter, true));
        ASSERT_EQ(length, p.payload.size());
        ASSERT_EQ(w.offset(), 188u);
        ASSERT_TRUE(std::equal(out.begin(), out.end(), original))
            << "packet " << packets << " at " << (original - data.data());
        EXPECT_EQ(counter, 0u);  // keep-counter leaves the running counter alone
        ++packets;
        with_adaptation += (original[3] & 0x20) != 0;
        with_pcr += p.pcr >= 0;
    }
    EXPECT_GT(with_adaptation, 100u);
    EXPECT_GT(with_pcr, 10u);
}

TEST(TSPacketWrite, AdaptationFieldSizes) {
    MPEG::TSPacket t;
    t.pid = 0x1FFF;
    uint32_t counter = 0;
    uint8_t out[188];
    const uint8_t payload[184] = {};

    // 183 bytes offered: the adaptation field is its length byte alone (0).
    Channel::BlockWriter w1(out, sizeof out);
    size_t length = 183;
    ASSERT_TRUE(MPEG::TSPacket::write(w1, t, payload, length, counter, false));
    EXPECT_EQ(length, 183u);
    EXPECT_EQ(w1.offset(), 188u);
    EXPECT_EQ(out[3], 0x30);
    EXPECT_EQ(out[4], 0x00);

    // 10 bytes: length byte, flags byte, 172 stuffing bytes.
    Channel::BlockWriter w2(out, sizeof out);
    length = 10;
    ASSERT_TRUE(MPEG::TSPacket::write(w2, t, payload, length, counter, false));
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(out[3], 0x31);  // counter advanced once
    EXPECT_EQ(out[4], 173);
    EXPECT_EQ(out[5], 0x00);
    EXPECT_EQ(std::count(out + 6, out + 178, 0xFF), 172);
    EXPECT_EQ(w2.offset(), 188u);

    // Many bytes and a PCR: 8 bytes of field, 176 of payload, no stuffing.
    t.pcr = 1.5;
    t.random_access = true;
    Channel::BlockWriter w3(out, sizeof out);
    length = 1000;
    ASSERT_TRUE(MPEG::TSPacket::write(w3, t, length, counter, false));
    EXPECT_EQ(length, 176u);
    EXPECT_EQ(w3.offset(), 12u);
    EXPECT_EQ(out[4], 7);
    EXPECT_EQ(out[5], 0x50);
    // 1.5 s = 40 500 000 ticks = base 135 000, extension 0.
    EXPECT_EQ(out[6] << 24 | out[7] << 16 | out[8] << 8 | out[9], 135000 >> 1);
    EXPECT_EQ(out[10], 0x7E);
    EXPECT_EQ(out[11], 0x00);

    // A PCR and the read-back of the largest value.
    t.pcr = ((std::pow(2.0, 33) - 1) * 300 + 299) / 27e6;
    t.random_access = false;
    Channel::BlockWriter w4(out, sizeof out);
    length = 0;
    ASSERT_TRUE(MPEG::TSPacket::write(w4, t, payload, length, counter, false));
    EXPECT_EQ(length, 0u);
    Channel::BlockReader back(out, sizeof out);
    MPEG::TSPacket p;
    ASSERT_TRUE(MPEG::TSPacket::read(back, p));
    EXPECT_DOUBLE_EQ(p.pcr, t.pcr);
    EXPECT_TRUE(p.payload.empty());
}

TEST(TSPacketWrite, ContinuityCounterRunsWrapsAndPausesWithoutPayload) {
    MPEG::TSPacket t;
    t.pid = 0x20;
    t.payload_unit_start = true;
    t.continuity_counter = 9;
    uint32_t counter = 14;
    uint8_t out[188];
    auto written_counter = [&](size_t payload, bool keep) {
        Channel::BlockWriter w(out, sizeof out);
        size_t length = payload;
        EXPECT_TRUE(MPEG::TSPacket::write(w, t, length, counter, keep));
        EXPECT_EQ(out[1], 0x40);
        EXPECT_EQ(out[2], 0x20);
        EXPECT_EQ((out[3] & 0x10) != 0, payload > 0);
        return out[3] & 0x0F;
    };
    EXPECT_EQ(written_counter(184, false), 14);
    EXPECT_EQ(written_counter(184, false), 15);
    EXPECT_EQ(written_counter(0, false), 15);  // no payload: repeats, does not advance
    EXPECT_EQ(written_counter(184, false), 0);
    EXPECT_EQ(written_counter(184, true), 9);
    EXPECT_EQ(counter, 1u);
}

TEST(TSPacketWrite, ReturnsFalseWhenTheWriterOverflows) {
    MPEG::TSPacket t;
    uint8_t out[100];
    Channel::BlockWriter w(out, sizeof out);
    std::vector<uint8_t> payload(184, 1);
    size_t length = payload.size();
    uint32_t counter = 0;
    EXPECT_FALSE(MPEG::TSPacket::write(w, t, payload.data(), length, counter, false));
    EXPECT_EQ(w.offset(), 0u);
}
