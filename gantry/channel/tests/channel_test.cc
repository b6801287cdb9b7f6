#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <sstream>
#include <string>
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

const uint8_t sample[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                          0x3F, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

}  // namespace

// BlockReader redeclares the small reads inline; both call paths must agree on values, errors and
// offsets.
TEST(ChannelBlockReader, IntegersInBothByteOrdersAndBothCallPaths) {
    for (bool generic : {true, false}) {
        SCOPED_TRACE(generic ? "through Reader&" : "on BlockReader");
        Channel::BlockReader block(sample, sizeof sample);
        Channel::Reader& r = block;
        EXPECT_EQ(generic ? r.read_nbo_24() : block.read_nbo_24(), 0x010203u);
        block.rewind(3);
        EXPECT_EQ(r.read_le_24(), 0x030201u);
        block.rewind(3);
        EXPECT_EQ(generic ? r.read_byte() : block.read_byte(), 0x01);
        EXPECT_EQ(generic ? r.read_nbo_16() : block.read_nbo_16(), 0x0203);
        block.rewind(3);
        EXPECT_EQ(generic ? r.read_nbo_32() : block.read_nbo_32(), 0x01020304u);
        block.rewind(4);
        EXPECT_EQ(r.read_le_16(), 0x0201);
        EXPECT_EQ(r.read_le_32(), 0x06050403u);
        block.rewind(6);
        EXPECT_EQ(r.read_nbo_64(), 0x0102030405060708ull);
        block.rewind(8);
        EXPECT_EQ(r.read_le_64(), 0x0807060504030201ull);
        EXPECT_EQ(r.read_nbo_double(), 1.0);  // 3F F0 00 ... is 1.0
        EXPECT_EQ(r.offset(), 16u);
        block.rewind(8);
        EXPECT_EQ(r.read_le_double(), std::bit_cast<double>(0x000000000000F03Full));

        // Short reads throw EOF and leave the offset at the bytes that were there.
        const uint8_t three[] = {0xAA, 0xBB, 0xCC};
        const std::string eof = "Channel error (0): EOF";
        Channel::BlockReader sb(three, 3);
        Channel::Reader& s = sb;
        EXPECT_EQ(error_of([&] { generic ? s.read_nbo_32() : sb.read_nbo_32(); }), eof);
        EXPECT_EQ(s.offset(), 3u);
        EXPECT_EQ(error_of([&] { generic ? s.read_byte() : sb.read_byte(); }), eof);
        EXPECT_EQ(s.offset(), 3u);
        sb.rewind(1);
        uint8_t out[2] = {0, 0};
        EXPECT_EQ(error_of([&] { generic ? s.read(out, 2) : sb.read(out, 2); }), eof);
        EXPECT_EQ(out[0], 0xCC) << "the byte that was there arrived";
        sb.rewind(2);
        EXPECT_EQ(error_of([&] { generic ? s.read_nbo_24() : sb.read_nbo_24(); }), eof);
        EXPECT_EQ(s.offset(), 3u);
    }
}

TEST(ChannelBlockReader, TryReadDistinguishesCleanEndFromTruncation) {
    Channel::BlockReader r(sample, 6);
    uint32_t value = 7;
    EXPECT_TRUE(r.try_read_nbo_32(value));
    EXPECT_EQ(value, 0x01020304u);
    EXPECT_EQ(error_of([&] { r.try_read_le_32(value); }), "Channel error (0): EOF");
    EXPECT_EQ(r.offset(), 6u);
    EXPECT_FALSE(r.try_read_le_32(value));  // clean end
    EXPECT_FALSE(r.try_read_nbo_32(value));
    EXPECT_EQ(value, 0x01020304u);
    EXPECT_TRUE(r.try_read(&value, 0));
}

TEST(ChannelBlockReader, StringReadsAppendAndReportTheirOwnEof) {
    std::vector<uint8_t> data(3000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>('a' + i % 26);
    Channel::BlockReader r(data.data(), data.size());
    std::string s = "x";
    r.read(s, 2500);  // more than one 1024-byte chunk
    ASSERT_EQ(s.size(), 2501u);
    EXPECT_EQ(s.substr(0, 4), "xabc");
    EXPECT_EQ(s.back(), static_cast<char>('a' + 2499 % 26));
    EXPECT_EQ(error_of([&] { r.read(s, 600); }), "Channel error (0): EOF in string");
    EXPECT_EQ(s.size(), 3001u);  // the 500 bytes that were there
    EXPECT_EQ(r.offset(), 3000u);
}

TEST(ChannelBlockReader, SkipAlignAndRewindStayInsideTheBlock) {
    uint8_t data[10] = {};
    Channel::BlockReader r(data, sizeof data);
    r.skip(6);
    r.align(4);
    EXPECT_EQ(r.offset(), 8u);
    r.align(4);
    r.align(0);
    EXPECT_EQ(r.offset(), 8u);
    const std::string beyond = "Channel error (1): Skip beyond end of block";
    EXPECT_EQ(error_of([&] { r.skip(3); }), beyond);
    EXPECT_EQ(error_of([&] { r.align(16); }), beyond) << "alignment is a skip, with its bound";
    EXPECT_EQ(error_of([&] { r.rewind(9); }), "Channel error (1): Rewound too far");
    EXPECT_EQ(r.offset(), 8u);
    r.rewind(8);
    r.skip(10);
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(ChannelBlockWriter, WritesAllOrNothingSkipsAndPatches) {
    uint8_t buffer[4] = {9, 9, 9, 9};
    const uint8_t five[5] = {1, 2, 3, 4, 5};
    Channel::BlockWriter w(buffer, sizeof buffer);
    Channel::Writer& g = w;
    const std::string overflow = "Channel error (1): Data block overflowed";
    EXPECT_EQ(error_of([&] { g.write(five, 5); }), overflow);
    EXPECT_EQ(error_of([&] { w.write(five, 5); }), overflow);
    EXPECT_EQ(w.offset(), 0u);
    EXPECT_EQ(buffer[0], 9);

    w.write_byte(0xA1);
    EXPECT_EQ(error_of([&] { w.write_nbo_32(0xDEADBEEF); }), overflow);
    EXPECT_EQ(error_of([&] { g.write_nbo_32(0xDEADBEEF); }), overflow);
    EXPECT_EQ(w.offset(), 1u);
    EXPECT_EQ(buffer[1], 9);
    w.skip(2);  // no zero fill
    g.write_byte(0xD4);
    EXPECT_EQ(buffer[2], 9) << "skip fills nothing";
    EXPECT_EQ(error_of([&] { w.write_byte(0); }), overflow);
    EXPECT_EQ(error_of([&] { w.skip(1); }), overflow + " in skip");
    EXPECT_EQ(error_of([&] { w.rewind(5); }), "Channel error (1): Rewound too far");
    w.rewind(3);  // patches a length field written earlier
    w.write_nbo_16(0xB2C3);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4),
              (std::vector<uint8_t>{0xA1, 0xB2, 0xC3, 0xD4}));
}

// Every writer operation read back by the matching reader operation, through standard streams.
TEST(ChannelStream, WriterAndReaderMirrorEachOther) {
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
    w.write_le_double(1e300);
    w.write(std::string("str"));
    w.write("cstr");
    w.align(4);
    w.skip(600);  // zeros, in more than one chunk
    const std::string bytes = io.str();
    ASSERT_EQ(bytes.size(), w.offset());
    // Byte order checked on the raw bytes, not only by the round trip.
    EXPECT_EQ(bytes.substr(1, 2), "\x12\x34");
    EXPECT_EQ(bytes.substr(10, 8), std::string("\x00\x11\x22\x33\x44\x55\x66\x77", 8));
    EXPECT_EQ(bytes.substr(26, 2), "\x34\x12");
    EXPECT_EQ(bytes.substr(35, 8), std::string("\x77\x66\x55\x44\x33\x22\x11\x00", 8));
    EXPECT_EQ(bytes.substr(bytes.size() - 601), std::string(601, '\0'));

    Channel::StreamReader r(io);
    EXPECT_EQ(r.read_byte(), 0x7F);
    EXPECT_EQ(r.read_nbo_16(), 0x1234);
    EXPECT_EQ(r.read_nbo_24(), 0xABCDEFu);
    EXPECT_EQ(r.read_nbo_32(), 0x89ABCDEFu);
    EXPECT_EQ(r.read_nbo_64(), 0x0011223344556677ull);
    EXPECT_EQ(r.read_nbo_double(), -2.5);
    EXPECT_EQ(r.read_le_16(), 0x1234);
    EXPECT_EQ(r.read_le_24(), 0xABCDEFu);
    EXPECT_EQ(r.read_le_32(), 0x89ABCDEFu);
    EXPECT_EQ(r.read_le_64(), 0x0011223344556677ull);
    EXPECT_EQ(r.read_le_double(), 1e300);
    std::string s;
    r.read(s, 7);
    EXPECT_EQ(s, "strcstr");
    r.align(4);
    r.skip(600);
    EXPECT_EQ(r.offset(), bytes.size());
    uint32_t v;
    EXPECT_FALSE(r.try_read_nbo_32(v));
}

TEST(ChannelStream, RewindSkipAndFailedStreams) {
    std::stringstream io;
    Channel::StreamWriter w(io);
    w.write("abcdefgh");
    w.rewind(4);
    w.write("WXYZ");
    EXPECT_EQ(io.str(), "abcdWXYZ");
    EXPECT_EQ(w.offset(), 8u);
    EXPECT_EQ(error_of([&] { w.rewind(9); }), "Channel error (1): Rewound too far");

    std::istringstream in("0123456789");
    Channel::StreamReader r(in);
    r.skip(8);
    std::string s;
    EXPECT_EQ(error_of([&] { r.read(s, 5); }), "Channel error (0): EOF in string");
    EXPECT_EQ(s, "89");
    r.rewind(3);  // allowed after hitting the end
    EXPECT_EQ(r.read_nbo_16(), ('7' << 8) | '8');
    EXPECT_EQ(error_of([&] { r.skip(5); }), "Channel error (0): EOF");
    EXPECT_EQ(r.offset(), 10u);

    std::istringstream broken("data");
    broken.setstate(std::ios::failbit);
    Channel::StreamReader b(broken);
    EXPECT_EQ(error_of([&] { b.read_byte(); }), "Channel error (1): Stream failed");
    std::ostringstream bad_out;
    bad_out.setstate(std::ios::badbit);
    Channel::StreamWriter bw(bad_out);
    EXPECT_EQ(error_of([&] { bw.write_byte(1); }), "Channel error (1): Stream failed");
    EXPECT_EQ(bw.offset(), 0u);
}

TEST(ChannelFD, PipeRoundTripSkipAndSystemErrors) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        Channel::FDWriter w(fds[1]);
        std::vector<uint8_t> big(10000);
        for (size_t i = 0; i < big.size(); ++i)
            big[i] = static_cast<uint8_t>(i * 7);
        w.write(big.data(), big.size());  // fits the pipe buffer
        w.write_nbo_32(0xCAFEBABE);
        EXPECT_EQ(w.offset(), 10004u);
        EXPECT_EQ(error_of([&] { w.rewind(1); }), "Channel error (2): Can't rewind");
        ::close(fds[1]);
    }
    Channel::FDReader r(fds[0]);
    r.skip(9999);  // larger than the reader's local skip buffer
    EXPECT_EQ(r.read_byte(), static_cast<uint8_t>(9999 * 7));
    EXPECT_EQ(r.read_nbo_32(), 0xCAFEBABEu);
    uint32_t v = 0;
    EXPECT_FALSE(r.try_read_le_32(v));
    EXPECT_EQ(error_of([&] { r.read_byte(); }), "Channel error (0): EOF");
    EXPECT_EQ(error_of([&] { r.rewind(1); }), "Channel error (2): Can't rewind");
    ::close(fds[0]);

    const std::string bad_fd = std::string("Channel error (2): ") + std::strerror(EBADF);
    Channel::FDReader closed_reader(fds[0]);
    EXPECT_EQ(error_of([&] { closed_reader.read_byte(); }), bad_fd);
    Channel::FDWriter closed_writer(fds[1]);
    EXPECT_EQ(error_of([&] { closed_writer.write_byte(1); }), bad_fd);
}

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
