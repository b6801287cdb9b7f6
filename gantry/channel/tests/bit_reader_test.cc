#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "gantry/channel/channel.h"
#include "gantry/channel/tests/error_of.h"
#include "tests/support/test_support.h"

namespace Channel = Gantry::Channel;

using Gantry::Channel::Testing::error_of;

namespace {

// Packs a string of '0'/'1' (other characters ignored) into bytes, padding the last with zeros.
std::vector<uint8_t> bits(const std::string& text) {
    std::vector<uint8_t> out;
    int n = 0;
    for (char c : text) {
        if (c != '0' && c != '1') continue;
        if (n % 8 == 0) out.push_back(0);
        if (c == '1') out.back() |= static_cast<uint8_t>(0x80 >> (n % 8));
        ++n;
    }
    return out;
}

}  // namespace

TEST(ChannelBitReader, BitsComeMostSignificantFirstAcrossBytesUpToTheEnd) {
    const uint8_t data[] = {0xDE, 0xAD, 0xBE, 0xEF, 0xA5};
    Channel::BitReader r(data, sizeof data);
    EXPECT_TRUE(r.read_bit());
    EXPECT_TRUE(r.read_bit());
    EXPECT_FALSE(r.read_bit());
    EXPECT_EQ(r.read_bits(13), 0x1EADu);  // 11110 10101101
    EXPECT_EQ(r.bit_offset(), 16u);
    EXPECT_EQ(r.read_bits(0), 0u);
    EXPECT_EQ(r.read_bits(4), 0xBu);
    EXPECT_FALSE(r.byte_aligned());
    r.align();
    EXPECT_EQ(r.bit_offset(), 24u);
    EXPECT_EQ(r.read_bits(8), 0xEFu);
    EXPECT_EQ(r.read_bits(5), 0x14u);  // 10100 of A5
    EXPECT_EQ(error_of([&] { r.read_bits(4); }), "Channel error (0): EOF") << "3 bits were left";
    EXPECT_TRUE(r.at_end());
    EXPECT_EQ(error_of([&] { r.read_bits(33); }), "Channel error (2): Too many bits");
    EXPECT_EQ(error_of([] { Channel::BitReader(nullptr, 0).read_bit(); }),
              "Channel error (0): EOF");

    Channel::BitReader whole(data, 4);
    EXPECT_EQ(whole.read_bits(32), 0xDEADBEEFu);
    Channel::BitReader offset(data, sizeof data);
    offset.skip_bits(4);
    EXPECT_EQ(offset.read_bits(32), 0xEADBEEFAu);  // a 32-bit read spanning five bytes
}

// Code numbers and their bit strings from the H.264 Exp-Golomb tables (9-2, 9-3).
TEST(ChannelBitReader, ExpGolombCodesFromTheH264Tables) {
    auto data = bits("1 010 011 00100 00101 00110 00111 0001000 000011111");
    Channel::BitReader r(data.data(), data.size());
    const uint32_t expected[] = {0, 1, 2, 3, 4, 5, 6, 7, 30};
    for (uint32_t v : expected)
        EXPECT_EQ(r.read_ue(), v);

    auto signed_data = bits("1 010 011 00100 00101 00110 00111");
    Channel::BitReader s(signed_data.data(), signed_data.size());
    const int32_t expected_se[] = {0, 1, -1, 2, -2, 3, -3};
    for (int32_t v : expected_se)
        EXPECT_EQ(s.read_se(), v);
}

TEST(ChannelBitReader, LongestExpGolombCodesAndTheGuardBeyondThem) {
    // 31 zeros, a one, 31 ones: 2^32 - 2, the largest ue(v) that fits 32 bits.
    auto longest = bits(std::string(31, '0') + "1" + std::string(31, '1'));
    Channel::BitReader r(longest.data(), longest.size());
    EXPECT_EQ(r.read_ue(), 0xFFFFFFFEu);
    Channel::BitReader s(longest.data(), longest.size());
    EXPECT_EQ(s.read_se(), -2147483647);
    auto largest_positive = bits(std::string(31, '0') + "1" + std::string(30, '1') + "0");
    Channel::BitReader p(largest_positive.data(), largest_positive.size());
    EXPECT_EQ(p.read_se(), 2147483647);

    auto too_long = bits(std::string(32, '0') + "1" + std::string(32, '1'));
    Channel::BitReader t(too_long.data(), too_long.size());
    EXPECT_EQ(error_of([&] { t.read_ue(); }), "Channel error (1): Bad Exp-Golomb code");
    // A run of zeros to the end of the data is end of data, not a value.
    const uint8_t zeros[3] = {0, 0, 0};
    Channel::BitReader z(zeros, sizeof zeros);
    EXPECT_EQ(error_of([&] { z.read_ue(); }), "Channel error (0): EOF");
}

// Bytes are taken from the block reader only as bits are needed; a started byte counts as read.
TEST(ChannelBitReader, ConsumesFromABlockReaderByteByByte) {
    const uint8_t data[] = {0x47, 0x80, 0x12, 0x34};
    Channel::BlockReader block(data, sizeof data);
    EXPECT_EQ(block.read_byte(), 0x47);
    {
        Channel::BitReader bits(block);
        EXPECT_TRUE(bits.read_bit());
        EXPECT_EQ(block.offset(), 2u);
        bits.align();
        EXPECT_EQ(bits.read_bits(4), 1u);
        EXPECT_EQ(block.offset(), 3u);
    }
    EXPECT_EQ(block.read_byte(), 0x34);
}

// The sequence parameter set of a real H.264 stream (Constrained Baseline, so no chroma or scaling
// fields) read with ue(v) and bits, against the picture size and profile ffprobe reports.
TEST(ChannelBitReader, RealSequenceParameterSetGivesFfprobesPictureSize) {
    CORVID_REQUIRE_SHARED(path, "testdata/ts/video/tsduck-test-064.ts");
    CORVID_REQUIRE_PROGRAM("ffprobe");
    int status = -1;
    const std::string probed = Corvid::Testing::run_command(
        "ffprobe -v error -select_streams v:0 -show_entries stream=width,height,profile -of "
        "csv=p=0 " +
            Corvid::Testing::shell_quote(path),
        &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(probed.substr(0, probed.find('\n')), "Constrained Baseline,1920,1080");

    const auto data = Corvid::Testing::read_file(path);
    const uint8_t start[] = {0x00, 0x00, 0x01, 0x67};
    auto at = std::search(data.begin(), data.end(), std::begin(start), std::end(start));
    ASSERT_NE(at, data.end());
    // The SPS sits well inside its packet (checked: 33 bytes after a packet start), so the bytes
    // that follow are the NAL unit; drop emulation prevention bytes (00 00 03).
    std::vector<uint8_t> rbsp;
    for (auto p = at + 4; p != data.end() && rbsp.size() < 32; ++p) {
        if (*p == 3 && rbsp.size() >= 2 && rbsp[rbsp.size() - 1] == 0 && rbsp[rbsp.size() - 2] == 0)
            continue;
        rbsp.push_back(*p);
    }
    Channel::BitReader r(rbsp.data(), rbsp.size());
    EXPECT_EQ(r.read_bits(8), 66u);      // profile_idc: Baseline
    EXPECT_TRUE(r.read_bits(8) & 0x40);  // constraint_set1: Constrained
    r.read_bits(8);                      // level_idc
    r.read_ue();                         // seq_parameter_set_id
    r.read_ue();                         // log2_max_frame_num_minus4
    const uint32_t poc_type = r.read_ue();
    if (poc_type == 0) r.read_ue();  // log2_max_pic_order_cnt_lsb_minus4
    ASSERT_NE(poc_type, 1u) << "this stream's SPS was expected not to carry the type 1 cycle";
    r.read_ue();   // max_num_ref_frames
    r.read_bit();  // gaps_in_frame_num_value_allowed_flag
    const uint32_t width_mbs = r.read_ue() + 1;
    const uint32_t height_units = r.read_ue() + 1;
    const bool frame_mbs_only = r.read_bit();
    if (!frame_mbs_only) r.read_bit();
    r.read_bit();  // direct_8x8_inference_flag
    uint32_t crop[4] = {0, 0, 0, 0};
    if (r.read_bit())
        for (auto& c : crop)
            c = r.read_ue();
    // 4:2:0: crop units are 2 luma samples across and 2 x (2 - frame_mbs_only) down.
    const uint32_t width = width_mbs * 16 - 2 * (crop[0] + crop[1]);
    const uint32_t height =
        (2 - frame_mbs_only) * height_units * 16 - 2 * (2 - frame_mbs_only) * (crop[2] + crop[3]);
    EXPECT_EQ(width, 1920u);
    EXPECT_EQ(height, 1080u);
}
