#include <gtest/gtest.h>

#include <algorithm>

#include "indexgen/indexgen.h"
#include "indexgen/tests/parser_support.h"
#include "tests/support/log_capture.h"

namespace Corvid::IndexGen {
namespace {

using Corvid::Testing::LogCapture;
using Testing::BitWriter;
using Testing::Bytes;
using Testing::hex;
using Testing::operator+;

int32_t recovery_point(const Bytes& nal) {
    return read_recovery_point(nal.data(), nal.size());
}

bool has_emulation_prevention(const Bytes& nal) {
    const Bytes pattern{0, 0, 3};
    return std::search(nal.begin(), nal.end(), pattern.begin(), pattern.end()) != nal.end();
}

// 4:4:4 (chroma_format_idc 3) has twelve scaling lists; the four chroma lists of 8x8 blocks come
// before log2_max_frame_num_minus4 and must be skipped too.
Bytes sps_444() {
    BitWriter w;
    w.bits(244, 8).bits(0, 8).bits(40, 8).ue(0);  // High 4:4:4 Predictive
    w.ue(3).bit(false).ue(2).ue(2).bit(false);    // chroma 3, separate planes off, depths
    w.bit(true);                                  // seq_scaling_matrix_present_flag
    for (int i = 0; i < 12; ++i) {
        w.bit(true);  // list present
        for (int j = 0; j < (i < 6 ? 16 : 64); ++j)
            w.se(j == 0 ? 8 : 1);  // 16, 17, 18 ... never 0
    }
    w.ue(7);  // log2_max_frame_num_minus4
    w.ue(0).ue(4).ue(1).bit(false).ue(79).ue(44);
    return w.bit(true).bit(true).bit(false).bit(false).trailing().nal(0x67);
}

// The SPS units of the real captures were cut from them and decoded by hand; the lengths agree
// with the slice headers of the same streams: read with that many bits, frame_num runs 120, 121,
// 122 ... in tsduck-test-026 and 4, 5, 6 ... in tsduck-test-143.
TEST(H264Headers, FrameNumLength) {
    // seq_parameter_set_id ue(255) starts with eight zero bits right after level_idc 0, so the
    // escaped unit holds 00 00 03 00, which must be removed before reading.
    BitWriter escaped, too_long;
    const Bytes escaped_sps =
        escaped.bits(66, 8).bits(0, 8).bits(0, 8).ue(255).ue(5).trailing().nal(0x67);
    ASSERT_TRUE(has_emulation_prevention(escaped_sps));
    too_long.bits(66, 8).bits(0, 8).bits(30, 8).ue(0).ue(40).trailing();
    const struct {
        const char* what;
        Bytes nal;
        unsigned length;
    } cases[] = {
        {"tsduck-test-064: Baseline (66), log2_max_frame_num_minus4 = 0",
         hex("00 00 00 01 67 42 c0 28 da 01 e0 08 9f 97 01 10 00 00 03 00 10 00 00 03 03 ce 06 00 "
             "0f 42 40 01 e8 4e 6c 20 07 8c 19 50"),
         4},
        // Lists 0, 1, 4 and 6 present, some of them ended early by a next_scale of 0.
        {"tsduck-test-026: High (100) with a scaling matrix",
         hex("00 00 01 67 64 00 28 ad 90 a4 70 80 32 0b 8d 06 00 e8 3a 40 e7 21 20 83 03 47 fc 8c "
             "11 08 08 12 14 24 a1 01 02 41 46 ff f4 d1 02 01 14 e8 3c 13 3b 10 16 1a 39 0b 12 32 "
             "20 70 e1 61 32 05 02 63 e1 60 f0 66 38 ca c1 58 e0 4c 20 58 d0 a0 74 41 8e 2c c5 01 "
             "e0 11 3f 78 0f 08 08 08 0f 80 00 00 03 00 80 00 00 19 4a"),
         8},
        {"tsduck-test-143: High, no scaling matrix",
         hex("00 00 01 67 64 00 28 ac 72 14 07 80 44 7d e0 2d 10 00 00 03 00 10 00 00 03 03 29 cb "
             "1c 30 85 80"),
         6},
        {"4:4:4 with twelve scaling lists", sps_444(), 11},
        {"emulation prevention", escaped_sps, 9},
        {"ends early", hex("00 00 01 67 64 00"), 0},
        {"no SPS at all", hex("00 00 01 68 ce 3c 80"), 0},
        {"frame_num of 44 bits", too_long.nal(0x67), 0},
    };
    LogCapture log;
    for (const auto& c : cases)
        EXPECT_EQ(read_frame_num_length(c.nal.data(), c.nal.size()), c.length) << c.what;
    const std::string line = "1 Could not read frame num length from SPS";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{line, line, line}));
}

TEST(H264Headers, RecoveryPoints) {
    LogCapture log;
    // tsduck-test-026: buffering period (type 0), then a recovery point with
    // recovery_frame_cnt 0 (payload 0x84: ue '1').
    EXPECT_EQ(recovery_point(hex("00 00 01 06 00 01 c0 06 01 84 01 01 04 80")), 0);
    // x264 open GOP: recovery point alone, payload 0xc4.
    EXPECT_EQ(recovery_point(hex("00 00 01 06 06 01 c4 80")), 0);
    // x264 periodic intra refresh: payload 04 f1 = 00000 1 00111: 2^5 - 1 + 7 = 38.
    EXPECT_EQ(recovery_point(hex("00 00 01 06 06 02 04 f1 80")), 38);
    // A payload type over 255 (255 + 6 = 261) is not a recovery point.
    EXPECT_EQ(recovery_point(hex("00 00 01 06 ff 06 01 84 06 01 c4 80")), 0);
    // Picture timing only, with its trailing bits (and trailing zero bytes): no recovery point,
    // and no error.
    EXPECT_EQ(recovery_point(hex("00 00 01 06 01 01 24 80")), -1);
    EXPECT_EQ(recovery_point(hex("00 00 01 06 01 01 24 80 00 00")), -1);
    EXPECT_TRUE(log.lines().empty());
    // A message longer than the unit is an error.
    EXPECT_EQ(recovery_point(hex("00 00 01 06 01 09 24 80")), -1);
    EXPECT_EQ(recovery_point(hex("00 00 01 06 06 01")), -1);
    EXPECT_EQ(recovery_point(hex("00 00 01 06 06 02 00 00")), -1);  // ue without its 1 bit
    const std::string line = "1 Failed to read recovery point information";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{line, line, line}));
}

TEST(H264Headers, SliceFrameNum) {
    BitWriter w;
    w.ue(1200).ue(7).ue(3).bits(0x1ABC, 13).bits(0, 20);
    uint32_t frame_num = 0;
    ASSERT_TRUE(read_slice_frame_num(w.bytes().data(), 8, 13, frame_num));
    EXPECT_EQ(frame_num, 0x1ABCu);
    EXPECT_FALSE(read_slice_frame_num(w.bytes().data(), 3, 13, frame_num));
    // A first_mb_in_slice of 2^22 - 1 starts with 22 zero bits: escaped, the header holds
    // 00 00 03 02, and the 03 must not be read.
    BitWriter z;
    z.ue((1u << 22) - 1).ue(0).ue(0).bits(0xA, 4).bits(0x15, 5);
    const Bytes nal = z.nal(0x41);
    ASSERT_TRUE(has_emulation_prevention(nal));
    ASSERT_GE(nal.size(), 12u);
    ASSERT_TRUE(read_slice_frame_num(nal.data() + 4, 8, 4, frame_num));
    EXPECT_EQ(frame_num, 0xAu);
}

}  // namespace
}  // namespace Corvid::IndexGen
