#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "gantry/channel/channel.h"
#include "tests/support/test_support.h"

namespace Channel = Gantry::Channel;

namespace {

// The message of the Channel::Error that body throws, or a note that it threw none.
template <typename Body>
std::string error_of(Body body) {
    try {
        body();
    } catch (const Channel::Error& e) {
        return e.what();
    }
    return "no Channel::Error thrown";
}

const std::string eof = "Channel error (0): EOF", rewound = "Channel error (1): Rewound too far";
const uint8_t sample[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                          0x3F, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

}  // namespace

// BlockReader redeclares the small reads inline; both call paths must agree on values, errors and
// offsets. Short reads throw EOF and leave the offset after the bytes that were there.
TEST(ChannelBlockReader, IntegersInBothByteOrdersAndBothCallPaths) {
    for (bool generic : {true, false}) {
        SCOPED_TRACE(generic ? "through Reader&" : "on BlockReader");
        Channel::BlockReader block(sample, sizeof sample);
        Channel::Reader& r = block;
        EXPECT_EQ(generic ? r.read_nbo_24() : block.read_nbo_24(), 0x010203u);
        EXPECT_EQ(r.read_le_24(), 0x060504u);
        EXPECT_EQ(generic ? r.read_byte() : block.read_byte(), 0x07);
        EXPECT_EQ(generic ? r.read_nbo_16() : block.read_nbo_16(), 0x083F);
        block.rewind(9);
        EXPECT_EQ(generic ? r.read_nbo_32() : block.read_nbo_32(), 0x01020304u);
        EXPECT_EQ(r.read_le_16(), 0x0605);
        EXPECT_EQ(r.read_le_32(), 0xF03F0807u);
        block.rewind(10);
        EXPECT_EQ(r.read_nbo_64(), 0x0102030405060708ull);
        EXPECT_EQ(r.read_nbo_double(), 1.0);  // 3F F0 00 ... is 1.0
        block.rewind(16);
        EXPECT_EQ(r.read_le_64(), 0x0807060504030201ull);
        EXPECT_EQ(r.read_le_double(), std::bit_cast<double>(0x000000000000F03Full));
        Channel::BlockReader sb(sample, 3);
        Channel::Reader& s = sb;
        EXPECT_EQ(error_of([&] { generic ? s.read_nbo_32() : sb.read_nbo_32(); }), eof);
        sb.rewind(1);
        uint8_t out[2] = {0, 0};
        EXPECT_EQ(error_of([&] { generic ? s.read(out, 2) : sb.read(out, 2); }), eof);
        EXPECT_EQ(out[0], 0x03) << "the byte that was there arrived";
        EXPECT_EQ(s.offset(), 3u);
    }
}

TEST(ChannelBlockReader, TryReadsSkipAlignAndRewindStayInsideTheBlock) {
    Channel::BlockReader r(sample, 6);
    uint32_t value = 7;
    EXPECT_TRUE(r.try_read_nbo_32(value));
    EXPECT_EQ(error_of([&] { r.try_read_le_32(value); }), eof) << "truncated, not a clean end";
    EXPECT_FALSE(r.try_read_le_32(value));
    EXPECT_EQ(value, 0x01020304u);
    Channel::BlockReader b(sample, 10);
    b.skip(6);
    b.align(4);
    b.align(0);
    EXPECT_EQ(b.offset(), 8u);
    const std::string beyond = "Channel error (1): Skip beyond end of block";
    EXPECT_EQ(error_of([&] { b.skip(3); }), beyond);
    EXPECT_EQ(error_of([&] { b.align(16); }), beyond) << "alignment is a skip, with its bound";
    EXPECT_EQ(error_of([&] { b.rewind(9); }), rewound);
    b.rewind(8);
    b.skip(10);
    EXPECT_EQ(b.remaining(), 0u);
}

TEST(ChannelBlockWriter, WritesAllOrNothingSkipsAndPatches) {
    uint8_t buffer[4] = {9, 9, 9, 9};
    Channel::BlockWriter w(buffer, sizeof buffer);
    Channel::Writer& g = w;
    const std::string overflow = "Channel error (1): Data block overflowed";
    EXPECT_EQ(error_of([&] { g.write(sample, 5); }), overflow);
    EXPECT_EQ(error_of([&] { w.write(sample, 5); }), overflow);
    w.write_byte(0xA1);
    EXPECT_EQ(error_of([&] { w.write_nbo_32(0xDEADBEEF); }), overflow);
    EXPECT_EQ(error_of([&] { g.write_nbo_32(0xDEADBEEF); }), overflow);
    EXPECT_EQ(w.offset(), 1u);
    w.skip(2);
    g.write_byte(0xD4);
    EXPECT_EQ(error_of([&] { w.write_byte(0); }), overflow);
    EXPECT_EQ(error_of([&] { w.skip(1); }), overflow + " in skip");
    EXPECT_EQ(error_of([&] { w.rewind(5); }), rewound);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{0xA1, 9, 9, 0xD4}))
        << "all or nothing; skip fills nothing";
    w.rewind(3);  // patches a length field written earlier
    w.write_nbo_16(0xB2C3);
    EXPECT_EQ(buffer[1] << 8 | buffer[2], 0xB2C3);
}

TEST(ChannelStream, EveryWriteInItsByteOrderAndRewindsSkipsAndFailures) {
    std::stringstream io;
    Channel::StreamWriter w(io);
    w.write_byte(0x7F);
    w.write_nbo_16(0x1234);
    w.write_nbo_24(0xABCDEF);
    w.write_nbo_32(0x89ABCDEF);
    w.write_nbo_64(0x0011223344556677ull);
    w.write_nbo_double(-2.5);
    w.write_le_16(0x1234);
    w.write_le_24(0xABCDEF);
    w.write_le_32(0x89ABCDEF);
    w.write_le_64(0x0011223344556677ull);
    w.write_le_double(1.0);
    w.write(std::string("str"));
    w.write("cstr");
    w.rewind(4);
    w.write("CSTR");
    w.align(4);
    w.skip(600);  // zeros, in more than one chunk
    EXPECT_EQ(error_of([&] { w.rewind(661); }), rewound);
    const std::string expected(
        "\x7F\x12\x34\xAB\xCD\xEF\x89\xAB\xCD\xEF\x00\x11\x22\x33\x44\x55\x66\x77"
        "\xC0\x04\x00\x00\x00\x00\x00\x00\x34\x12\xEF\xCD\xAB\xEF\xCD\xAB\x89"
        "\x77\x66\x55\x44\x33\x22\x11\x00\x00\x00\x00\x00\x00\x00\xF0\x3FstrCSTR",
        58);
    EXPECT_EQ(io.str(), expected + std::string(602, '\0'));
    Channel::StreamReader r(io);
    EXPECT_EQ(r.read_nbo_24(), 0x7F1234u);
    r.skip(48);
    std::string text;
    r.read(text, 7);
    r.align(4);
    EXPECT_EQ(error_of([&] { r.read(text, 1200); }), "Channel error (0): EOF in string");
    EXPECT_EQ(text, "strCSTR" + std::string(600, '\0')) << "appended, in more than one chunk";
    r.rewind(603);  // allowed after hitting the end
    EXPECT_EQ(r.read_nbo_16(), 0x5200);
    EXPECT_EQ(error_of([&] { r.skip(602); }), eof);
    EXPECT_EQ(r.offset(), 660u);
    EXPECT_EQ(error_of([&] { r.rewind(661); }), rewound);
    const std::string failed = "Channel error (1): Stream failed";
    std::istringstream broken("data");
    broken.setstate(std::ios::failbit);
    EXPECT_EQ(error_of([&] { Channel::StreamReader(broken).read_byte(); }), failed);
    std::ostringstream bad_out;
    bad_out.setstate(std::ios::badbit);
    Channel::StreamWriter bw(bad_out);
    EXPECT_EQ(error_of([&] { bw.write_byte(1); }), failed);
    EXPECT_EQ(bw.offset(), 0u);
}

TEST(ChannelFD, PipeRoundTripSkipAndSystemErrors) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string no_rewind = "Channel error (2): Can't rewind";
    {
        Channel::FDWriter w(fds[1]);
        std::vector<uint8_t> big(10000, 0x5A);
        big.back() = 0xA5;
        w.write(big.data(), big.size());  // fits the pipe buffer
        w.write_nbo_32(0xCAFEBABE);
        EXPECT_EQ(w.offset(), 10004u);
        EXPECT_EQ(error_of([&] { w.rewind(1); }), no_rewind);
        ::close(fds[1]);
    }
    Channel::FDReader r(fds[0]);
    r.skip(9999);  // larger than the reader's local skip buffer
    EXPECT_EQ(r.read_byte(), 0xA5);
    EXPECT_EQ(r.read_nbo_32(), 0xCAFEBABEu);
    uint32_t v = 0;
    EXPECT_FALSE(r.try_read_le_32(v));
    EXPECT_EQ(error_of([&] { r.rewind(1); }), no_rewind);
    ::close(fds[0]);
    const std::string bad_fd = std::string("Channel error (2): ") + std::strerror(EBADF);
    EXPECT_EQ(error_of([&] { Channel::FDReader(fds[0]).read_byte(); }), bad_fd);
    EXPECT_EQ(error_of([&] { Channel::FDWriter(fds[1]).write_byte(1); }), bad_fd);
}

// Packs a string of '0'/'1' (spaces ignored) into bytes, padding the last with zeros.
static std::vector<uint8_t> bits(const std::string& text) {
    std::vector<uint8_t> out;
    int n = 0;
    for (char c : text) {
        if (c == ' ') continue;
        if (n % 8 == 0) out.push_back(0);
        out.back() |= static_cast<uint8_t>((c == '1') << (7 - n++ % 8));
    }
    return out;
}

TEST(ChannelBitReader, BitsComeMostSignificantFirstAcrossBytesUpToTheEnd) {
    const uint8_t data[] = {0xDE, 0xAD, 0xBE, 0xEF, 0xA5};
    Channel::BitReader r(data, sizeof data);
    EXPECT_TRUE(r.read_bit());
    EXPECT_EQ(r.read_bits(15), 0x5EADu);  // 1011110 10101101
    EXPECT_EQ(r.read_bits(0), 0u);
    EXPECT_EQ(r.read_bits(4), 0xBu);
    r.align();
    EXPECT_EQ(r.bit_offset(), 24u);
    EXPECT_EQ(r.read_bits(8), 0xEFu);
    EXPECT_EQ(r.read_bits(5), 0x14u);  // 10100 of A5
    EXPECT_EQ(error_of([&] { r.read_bits(4); }), eof) << "3 bits were left";
    EXPECT_TRUE(r.at_end());
    EXPECT_EQ(error_of([&] { r.read_bits(33); }), "Channel error (2): Too many bits");
    Channel::BitReader offset(data, sizeof data);
    offset.skip_bits(4);
    EXPECT_EQ(offset.read_bits(32), 0xEADBEEFAu);  // a 32-bit read spanning five bytes
    // Bytes are taken from the block reader only as bits are needed; a started byte counts as read.
    Channel::BlockReader block(sample + 6, 4);
    EXPECT_EQ(block.read_byte(), 0x07);
    Channel::BitReader bits(block);
    EXPECT_FALSE(bits.read_bit());
    EXPECT_EQ(block.offset(), 2u);
    bits.align();
    EXPECT_EQ(bits.read_bits(4), 3u);
    EXPECT_EQ(block.offset(), 3u);
}

// Code numbers and their bit strings from the H.264 Exp-Golomb tables (9-2, 9-3), the longest
// codes that fit 32 bits and the guard beyond them.
TEST(ChannelBitReader, ExpGolombCodes) {
    auto data = bits("1 010 011 00100 00101 00110 00111 0001000 000011111");
    Channel::BitReader r(data.data(), data.size()), s(data.data(), data.size());
    for (uint32_t v : {0, 1, 2, 3, 4, 5, 6, 7, 30})
        EXPECT_EQ(r.read_ue(), v);
    for (int32_t v : {0, 1, -1, 2, -2, 3, -3})
        EXPECT_EQ(s.read_se(), v);
    const std::string zeros(31, '0');
    for (auto [code, ue, se] :
         {std::tuple{zeros + "1" + std::string(31, '1'), 0xFFFFFFFEu, -2147483647},
          {zeros + "1" + std::string(30, '1') + "0", 0xFFFFFFFDu, 2147483647}}) {
        auto longest = bits(code);
        EXPECT_EQ(Channel::BitReader(longest.data(), longest.size()).read_ue(), ue);
        EXPECT_EQ(Channel::BitReader(longest.data(), longest.size()).read_se(), se);
    }
    auto too_long = bits(zeros + "01" + std::string(32, '1'));
    EXPECT_EQ(error_of([&] { Channel::BitReader(too_long.data(), too_long.size()).read_ue(); }),
              "Channel error (1): Bad Exp-Golomb code");
    // A run of zeros to the end of the data is end of data, not a value.
    EXPECT_EQ(error_of([] { Channel::BitReader(sample + 10, 3).read_ue(); }), eof);
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
    auto at = std::search(data.begin(), data.end(), start, start + 4);
    ASSERT_NE(at, data.end());
    // The SPS sits well inside its packet (checked: 33 bytes after a packet start), so the bytes
    // that follow are the NAL unit; drop emulation prevention bytes (00 00 03).
    std::vector<uint8_t> rbsp;
    for (auto p = at + 4; p != data.end() && rbsp.size() < 32; ++p)
        if (*p != 3 || rbsp.size() < 2 || rbsp.end()[-1] != 0 || rbsp.end()[-2] != 0)
            rbsp.push_back(*p);
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
    EXPECT_EQ(width_mbs * 16 - 2 * (crop[0] + crop[1]), 1920u);
    EXPECT_EQ((2 - frame_mbs_only) * (height_units * 16 - 2 * (crop[2] + crop[3])), 1080u);
}
