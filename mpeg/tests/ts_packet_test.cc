#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "gantry/channel/channel.h"
#include "mpeg/mpeg.h"
#include "tests/support/ffmpeg_oracle.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace MPEG = Corvid::MPEG;
namespace Channel = Gantry::Channel;
using Corvid::Testing::read_file;
using Lines = std::vector<std::string>;

namespace {

// Error-level lines logged while body runs; any line at another level fails the test.
template <typename Body>
Lines logged_errors(Body body) {
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

MPEG::TSPacket read_ok(const std::vector<uint8_t>& bytes) {
    Channel::BlockReader r(bytes.data(), bytes.size());
    MPEG::TSPacket p;
    EXPECT_TRUE(MPEG::TSPacket::read(r, p));
    EXPECT_EQ(r.offset(), 188u);
    return p;
}

std::vector<uint8_t> rewritten(const MPEG::TSPacket& p) {
    std::vector<uint8_t> out(188);
    Channel::BlockWriter w(out.data(), out.size());
    size_t length = p.payload.size();
    uint32_t counter = 0;
    EXPECT_TRUE(MPEG::TSPacket::write(w, p, p.payload.data(), length, counter, true));
    EXPECT_EQ(length, p.payload.size());
    EXPECT_EQ(w.offset(), 188u);
    EXPECT_EQ(counter, 0u);  // keep-counter leaves the running counter alone
    return out;
}

}  // namespace

TEST(TSPacketHeader, AdaptationFieldLengthsAtTheLimits) {
    EXPECT_EQ(read_ok(packet_bytes({0x47, 0x00, 0x11, 0x30, 0x00})).payload.size(), 183u);
    const auto full = read_ok(packet_bytes({0x47, 0x00, 0x11, 0x20, 183, 0xC0}, 0xFF));
    EXPECT_TRUE(full.payload.empty());
    EXPECT_TRUE(full.discontinuity && full.random_access);

    // 184 and above cannot fit. The reader must not be moved past this packet, even when the
    // buffer goes on (the next packet follows at 188).
    for (uint8_t length : {uint8_t{184}, uint8_t{255}}) {
        auto two = packet_bytes({0x47, 0x00, 0x11, 0x20, length, 0x00});
        auto next = packet_bytes({0x47, 0x00, 0x22, 0x10});
        two.insert(two.end(), next.begin(), next.end());
        Channel::BlockReader r(two.data(), two.size());
        MPEG::TSPacket p;
        size_t payload_length = 0;
        ASSERT_TRUE(MPEG::TSPacket::read_header(r, p, payload_length));
        EXPECT_GT(payload_length, 184u);
        EXPECT_LE(r.offset(), 188u);
        r.rewind(r.offset());
        EXPECT_EQ(logged_errors([&] { EXPECT_FALSE(MPEG::TSPacket::read(r, p)); }),
                  Lines{"Bad TS payload size"});
        EXPECT_LE(r.offset(), 188u);
    }
}

// Found by the fuzzer: an extension of 511 (out of range, the field allows 0..299) with the largest
// base reads as a PCR past the 2^33 x 300 tick wrap. Writing it stores the value modulo the wrap,
// so the re-read PCR is small; nothing else of the packet changes.
TEST(TSPacketHeader, OutOfRangePcrExtensionWrapsWhenWrittenBack) {
    const auto p = read_ok(
        packet_bytes({0x47, 0x00, 0x7E, 0x3D, 0x6A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    const double ticks = (std::pow(2.0, 33) - 1) * 300 + 511;
    EXPECT_DOUBLE_EQ(p.pcr, ticks / 27e6);
    const auto q = read_ok(rewritten(p));
    EXPECT_DOUBLE_EQ(q.pcr, (ticks - std::pow(2.0, 33) * 300) / 27e6);  // 211 ticks
    EXPECT_EQ(q.payload, p.payload);
    EXPECT_TRUE(q.discontinuity && q.random_access);
}

// A PCR flag in an adaptation field shorter than the PCR is ignored rather than read into the
// payload: the payload stays where the field length puts it and the packet stays 188 bytes.
TEST(TSPacketHeader, PcrFlagInATooShortFieldIsIgnored) {
    const auto p = read_ok(packet_bytes({0x47, 0x01, 0x00, 0x30, 2, 0x50, 0xEE, 0x11, 0x22}));
    EXPECT_EQ(p.pcr, -1.0);
    EXPECT_TRUE(p.random_access);
    ASSERT_EQ(p.payload.size(), 181u);
    EXPECT_EQ(p.payload[0], 0x11);
}

TEST(TSPacketRead, FailuresLogTheirLineAndReturnFalse) {
    MPEG::TSPacket p;
    const auto whole = packet_bytes({0x47, 0x00, 0x00, 0x10});
    const auto bad_sync = packet_bytes({0x48, 0x00, 0x00, 0x10});
    struct Case {
        const std::vector<uint8_t>* bytes;
        size_t length;
        const char* error;
    };
    for (const Case& c :
         {Case{&bad_sync, 188, "Could not read TS header"},
          Case{&whole, 3, "Could not read TS header"}, Case{&whole, 100, "TS packet truncated"}}) {
        for (bool generic : {true, false}) {
            Channel::BlockReader r(c.bytes->data(), c.length);
            auto errors = logged_errors([&] {
                EXPECT_FALSE(generic ? MPEG::TSPacket::read(static_cast<Channel::Reader&>(r), p)
                                     : MPEG::TSPacket::read(r, p));
            });
            EXPECT_EQ(errors, Lines{c.error}) << c.length << generic;
            EXPECT_LE(r.offset(), c.length);
        }
    }
    std::istringstream in(std::string(whole.begin(), whole.begin() + 150));
    Channel::StreamReader sr(in);
    EXPECT_EQ(logged_errors([&] { EXPECT_FALSE(MPEG::TSPacket::read(sr, p)); }),
              Lines{"TS packet truncated"});
}

// tsduck-test-142: 300 packets of which 5 have a bad sync byte (the capture notes say so).
// tsduck-test-143: 562 packets with scrambling bits, as the capture notes say. The notes also speak
// of "2 discontinuity indicators", which the bytes do not bear out: a dump of the adaptation fields
// shows bit 7 of the flags set in packets 210, 451, 1095, 1199, 1305 and 2925. Four packets (not
// flagged as errors) carry an adaptation field length above 183; they are dropped and must not
// disturb the packets after them.
TEST(TSPacketRead, BadPacketsAndFlagsOfRealCapturesMatchTheCaptureNotes) {
    const struct {
        const char* name;
        Lines errors;
        size_t scrambled;
        std::set<size_t> discontinuities;
    } cases[] = {
        {"testdata/ts/epg/tsduck-test-142.ts", Lines(5, "Could not read TS header"), 0, {}},
        {"testdata/ts/video/tsduck-test-143.ts",
         Lines(4, "Bad TS payload size"),
         562,
         {210, 451, 1095, 1199, 1305, 2925}},
    };
    for (const auto& c : cases) {
        CORVID_REQUIRE_SHARED(path, c.name);
        auto data = read_file(path);
        Channel::BlockReader r(data.data(), data.size());
        size_t good = 0, scrambled = 0;
        std::set<size_t> discontinuities;
        auto errors = logged_errors([&] {
            MPEG::TSPacket p;
            for (size_t at = 0; at < data.size(); at += 188) {
                r.rewind(r.offset());
                r.skip(at);
                if (MPEG::TSPacket::read(r, p)) {
                    ++good;
                    EXPECT_EQ(r.offset(), at + 188);
                }
                // A packet dropped for its adaptation field still has its header read.
                scrambled += p.scrambling != 0;
                if (p.discontinuity) discontinuities.insert(at / 188);
            }
        });
        EXPECT_EQ(good, data.size() / 188 - c.errors.size()) << c.name;
        EXPECT_EQ(errors, c.errors) << c.name;
        EXPECT_EQ(scrambled, c.scrambled) << c.name;
        EXPECT_EQ(discontinuities, c.discontinuities) << c.name;
    }
}

// The pipeline reads whole packets straight from memory; that form must see every packet of the
// corrupt and the noisy capture exactly as the block reader does, failures and log lines included.
TEST(TSPacketRead, InMemoryFormAgreesWithTheBlockReader) {
    for (const char* name :
         {"testdata/ts/epg/tsduck-test-142.ts", "testdata/ts/video/tsduck-test-143.ts"}) {
        CORVID_REQUIRE_SHARED(path, name);
        const auto data = read_file(path);
        for (size_t at = 0; at + 188 <= data.size(); at += 188) {
            MPEG::TSPacket a, b;
            bool read_a = false, read_b = false;
            Channel::BlockReader r(data.data() + at, 188);
            const auto errors_a = logged_errors([&] { read_a = MPEG::TSPacket::read(r, a); });
            const auto errors_b =
                logged_errors([&] { read_b = MPEG::TSPacket::read(data.data() + at, b); });
            ASSERT_EQ(read_a, read_b) << name << " packet " << at / 188;
            ASSERT_EQ(errors_a, errors_b) << name << " packet " << at / 188;
            if (!read_a) continue;
            ASSERT_TRUE(a.pid == b.pid && a.payload_unit_start == b.payload_unit_start &&
                        a.discontinuity == b.discontinuity && a.random_access == b.random_access &&
                        a.scrambling == b.scrambling && a.pcr == b.pcr &&
                        a.continuity_counter == b.continuity_counter && a.payload == b.payload)
                << name << " packet " << at / 188;
        }
    }
}

// On an FFmpeg stream: random_access_indicator marks exactly the packets where ffprobe's keyframes
// start, the PCR (on the video PID) never runs backwards nor behind the first presentation time,
// and every packet written back with its own counter comes out byte for byte the same (header,
// adaptation field, PCR encoding and stuffing).
TEST(TSPacketRead, FfmpegStreamAgreesWithFfprobeAndRewritesByteForByte) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    CORVID_REQUIRE_PROGRAM("ffprobe");
    bool ok = false;
    const auto probed = Corvid::Testing::ffprobe_packets(path, "v:0", &ok);
    ASSERT_TRUE(ok && !probed.empty());
    std::set<uint64_t> keyframes;
    for (const auto& p : probed)
        if (p.key) keyframes.insert(static_cast<uint64_t>(p.pos));
    ASSERT_EQ(keyframes.size(), 2u);

    auto data = read_file(path);
    Channel::BlockReader r(data.data(), data.size());
    MPEG::TSPacket p;
    std::set<uint64_t> random_access;
    std::set<uint16_t> pcr_pids;
    double first_pcr = -1, last_pcr = -1;
    size_t with_adaptation = 0;
    while (r.remaining() > 0) {
        const uint64_t at = r.offset();
        ASSERT_TRUE(MPEG::TSPacket::read(r, p));
        ASSERT_TRUE(std::equal(data.begin() + at, data.begin() + at + 188, rewritten(p).begin()))
            << "packet at " << at;
        with_adaptation += (data[at + 3] & 0x20) != 0;
        if (p.random_access && p.pid == 0x100) random_access.insert(at);
        if (p.pcr < 0) continue;
        pcr_pids.insert(p.pid);
        if (first_pcr < 0) first_pcr = p.pcr;
        EXPECT_GE(p.pcr, last_pcr);
        last_pcr = p.pcr;
    }
    EXPECT_GT(with_adaptation, 100u);
    EXPECT_EQ(random_access, keyframes);
    EXPECT_EQ(pcr_pids, std::set<uint16_t>{0x100});
    EXPECT_LE(first_pcr, probed[0].pts_time);
    EXPECT_GT(first_pcr, probed[0].pts_time - 1.0);
}

// The header-only form: the caller writes the payload, so the field must say how much fits.
TEST(TSPacketWrite, HeaderOnlyFormSizesTheAdaptationField) {
    MPEG::TSPacket t;
    uint32_t counter = 0;
    uint8_t out[188];
    // 183: the field is its length byte alone; with a PCR, 8 bytes of field leave 176.
    for (auto [pcr, asked, fits, header] :
         {std::tuple{-1.0, 183, 183u, 5u}, {1.5, 1000, 176u, 12u}}) {
        t.pcr = pcr;
        Channel::BlockWriter w(out, sizeof out);
        size_t length = asked;
        ASSERT_TRUE(MPEG::TSPacket::write(w, t, length, counter, false));
        EXPECT_EQ(length, fits);
        EXPECT_EQ(w.offset(), header);
        EXPECT_EQ(out[3] & 0xF0, 0x30);
        EXPECT_EQ(out[4], header - 5);
    }
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
