#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "gantry/channel/channel.h"

namespace Channel = Gantry::Channel;

namespace {

// Runs body and returns the Error it throws; fails the test if it throws nothing.
template <typename Body>
Channel::Error error_of(Body body) {
    try {
        body();
    } catch (const Channel::Error& e) {
        return e;
    }
    ADD_FAILURE() << "no Channel::Error thrown";
    return Channel::Error(-1, "none");
}

const uint8_t sample[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                          0x3F, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

}  // namespace

TEST(ChannelError, CarriesCodeTextAndPrintsTheFixedForm) {
    Channel::Error e(2, "Can't rewind");
    EXPECT_EQ(e.code(), 2);
    EXPECT_EQ(e.text(), "Can't rewind");
    EXPECT_STREQ(e.what(), "Channel error (2): Can't rewind");
    std::ostringstream out;
    out << e;
    EXPECT_EQ(out.str(), "Channel error (2): Can't rewind");
}

// The same integer reads through the virtual interface and through the concrete fast paths.
TEST(ChannelBlockReader, IntegersInBothByteOrdersAndBothCallPaths) {
    for (bool generic : {true, false}) {
        SCOPED_TRACE(generic ? "through Reader&" : "on BlockReader");
        Channel::BlockReader block(sample, sizeof sample);
        Channel::Reader& r = block;
        EXPECT_EQ(generic ? r.read_nbo_24() : block.read_nbo_24(), 0x010203u);
        EXPECT_EQ(r.offset(), 3u);
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
    }
}

TEST(ChannelBlockReader, ShortReadsThrowEofAndKeepTheBytesConsumed) {
    const uint8_t three[] = {0xAA, 0xBB, 0xCC};
    for (bool generic : {true, false}) {
        SCOPED_TRACE(generic ? "through Reader&" : "on BlockReader");
        Channel::BlockReader block(three, 3);
        Channel::Reader& r = block;
        auto e = error_of([&] { generic ? r.read_nbo_32() : block.read_nbo_32(); });
        EXPECT_EQ(e.code(), 0);
        EXPECT_EQ(e.text(), "EOF");
        EXPECT_EQ(r.offset(), 3u);
        e = error_of([&] { generic ? r.read_byte() : block.read_byte(); });
        EXPECT_STREQ(e.what(), "Channel error (0): EOF");
        EXPECT_EQ(r.offset(), 3u);

        block.rewind(1);
        uint8_t out[4] = {0, 0, 0, 0};
        e = error_of([&] { generic ? r.read(out, 2) : block.read(out, 2); });
        EXPECT_EQ(e.text(), "EOF");
        EXPECT_EQ(out[0], 0xCC);  // the byte that was there arrived
        EXPECT_EQ(r.offset(), 3u);
        block.rewind(1);
        e = error_of([&] { generic ? r.read_nbo_16() : block.read_nbo_16(); });
        EXPECT_EQ(e.text(), "EOF");
        EXPECT_EQ(r.offset(), 3u);
        block.rewind(2);
        e = error_of([&] { generic ? r.read_nbo_24() : block.read_nbo_24(); });
        EXPECT_EQ(e.text(), "EOF");
        EXPECT_EQ(r.offset(), 3u);
    }
}

TEST(ChannelBlockReader, TryReadDistinguishesCleanEndFromTruncation) {
    Channel::BlockReader r(sample, 6);
    uint32_t value = 7;
    EXPECT_TRUE(r.try_read_nbo_32(value));
    EXPECT_EQ(value, 0x01020304u);
    auto e = error_of([&] { r.try_read_le_32(value); });  // 2 of 4 bytes
    EXPECT_EQ(e.code(), 0);
    EXPECT_EQ(e.text(), "EOF");
    EXPECT_EQ(r.offset(), 6u);
    EXPECT_FALSE(r.try_read_le_32(value));  // clean end
    EXPECT_FALSE(r.try_read_nbo_32(value));
    EXPECT_EQ(value, 0x01020304u);
    uint8_t b[2];
    EXPECT_FALSE(r.try_read(b, 2));
    EXPECT_TRUE(r.try_read(b, 0));
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
    auto e = error_of([&] { r.read(s, 600); });
    EXPECT_EQ(e.code(), 0);
    EXPECT_EQ(e.text(), "EOF in string");
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
    EXPECT_EQ(r.offset(), 8u);
    r.align(0);
    EXPECT_EQ(r.offset(), 8u);
    auto e = error_of([&] { r.skip(3); });
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.text(), "Skip beyond end of block");
    EXPECT_EQ(r.offset(), 8u);
    e = error_of([&] { r.align(16); });  // alignment is a skip, with the same bound
    EXPECT_EQ(e.text(), "Skip beyond end of block");
    EXPECT_EQ(r.offset(), 8u);
    e = error_of([&] { r.rewind(9); });
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.text(), "Rewound too far");
    EXPECT_EQ(r.offset(), 8u);
    EXPECT_TRUE(r.rewindable());
    r.rewind(8);
    EXPECT_EQ(r.remaining(), 10u);
    r.skip(10);
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_EQ(r.current(), data + 10);
}

TEST(ChannelBlockWriter, WritesAllOrNothing) {
    uint8_t buffer[4] = {9, 9, 9, 9};
    const uint8_t five[5] = {1, 2, 3, 4, 5};
    Channel::BlockWriter w(buffer, sizeof buffer);
    Channel::Writer& g = w;
    auto e = error_of([&] { g.write(five, 5); });
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.text(), "Data block overflowed");
    EXPECT_EQ(w.offset(), 0u);
    EXPECT_EQ(buffer[0], 9);
    e = error_of([&] { w.write(five, 5); });
    EXPECT_EQ(e.text(), "Data block overflowed");
    EXPECT_EQ(buffer[0], 9);

    w.write_byte(0xA1);
    e = error_of([&] { w.write_nbo_32(0xDEADBEEF); });
    EXPECT_EQ(e.text(), "Data block overflowed");
    e = error_of([&] { g.write_nbo_32(0xDEADBEEF); });
    EXPECT_EQ(e.text(), "Data block overflowed");
    EXPECT_EQ(w.offset(), 1u);
    EXPECT_EQ(buffer[1], 9);
    w.write_nbo_16(0xB2C3);
    g.write_byte(0xD4);
    EXPECT_EQ(w.remaining(), 0u);
    e = error_of([&] { w.write_byte(0); });
    EXPECT_EQ(e.text(), "Data block overflowed");
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4),
              (std::vector<uint8_t>{0xA1, 0xB2, 0xC3, 0xD4}));
}

TEST(ChannelBlockWriter, SkipLeavesBytesAndRewindPatches) {
    uint8_t buffer[8];
    std::memset(buffer, 0x55, sizeof buffer);
    Channel::BlockWriter w(buffer, sizeof buffer);
    w.write_byte(1);
    w.skip(2);  // no zero fill
    w.write_byte(4);
    EXPECT_EQ(buffer[1], 0x55);
    EXPECT_EQ(buffer[2], 0x55);
    auto e = error_of([&] { w.skip(5); });
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.text(), "Data block overflowed in skip");
    EXPECT_EQ(w.offset(), 4u);
    w.align(8);
    EXPECT_EQ(w.offset(), 8u);
    e = error_of([&] { w.rewind(9); });
    EXPECT_EQ(e.text(), "Rewound too far");
    EXPECT_EQ(w.offset(), 8u);
    // Patch a length field written earlier, then continue at the end.
    w.rewind(7);
    w.write_nbo_16(0x0203);
    EXPECT_EQ(w.offset(), 3u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
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
    EXPECT_EQ(w.offset() % 4, 0u);
    const uint64_t written = w.offset();

    const std::string bytes = io.str();
    ASSERT_EQ(bytes.size(), written);
    // Byte order checked on the raw bytes, not only by the round trip.
    EXPECT_EQ(bytes.substr(1, 2), "\x12\x34");
    EXPECT_EQ(bytes.substr(10, 8), std::string("\x00\x11\x22\x33\x44\x55\x66\x77", 8));
    EXPECT_EQ(bytes.substr(26, 2), "\x34\x12");
    EXPECT_EQ(bytes.substr(35, 8), std::string("\x77\x66\x55\x44\x33\x22\x11\x00", 8));

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
    EXPECT_EQ(r.offset(), written);
    uint32_t v;
    EXPECT_FALSE(r.try_read_nbo_32(v));
    EXPECT_EQ(error_of([&] { r.read_byte(); }).text(), "EOF");
}

TEST(ChannelStream, DefaultSkipWritesZerosBeyondOneChunk) {
    std::ostringstream out;
    Channel::StreamWriter w(out);
    w.write_byte(1);
    w.skip(600);
    w.write_byte(2);
    const std::string s = out.str();
    ASSERT_EQ(s.size(), 602u);
    EXPECT_EQ(s.find_first_not_of('\0', 1), 601u);
    EXPECT_EQ(w.offset(), 602u);
}

TEST(ChannelStream, RewindingAWriterOverwritesTheLastBytes) {
    std::stringstream io;
    Channel::StreamWriter w(io);
    w.write("abcdefgh");
    w.rewind(4);
    EXPECT_EQ(w.offset(), 4u);
    w.write("WXYZ");
    EXPECT_EQ(io.str(), "abcdWXYZ");
    EXPECT_EQ(w.offset(), 8u);
    EXPECT_EQ(error_of([&] { w.rewind(9); }).text(), "Rewound too far");
}

TEST(ChannelStream, ReaderSkipsRewindsAfterTheEndAndReportsFailedStreams) {
    std::istringstream in("0123456789");
    Channel::StreamReader r(in);
    r.skip(8);
    EXPECT_EQ(r.read_byte(), '8');
    std::string s;
    EXPECT_EQ(error_of([&] { r.read(s, 5); }).text(), "EOF in string");
    EXPECT_EQ(s, "9");
    EXPECT_EQ(r.offset(), 10u);
    r.rewind(3);  // allowed after hitting the end
    EXPECT_EQ(r.read_nbo_16(), ('7' << 8) | '8');
    EXPECT_EQ(error_of([&] { r.skip(5); }).text(), "EOF");
    EXPECT_EQ(r.offset(), 10u);

    std::istringstream broken("data");
    broken.setstate(std::ios::failbit);
    Channel::StreamReader b(broken);
    auto e = error_of([&] { b.read_byte(); });
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.text(), "Stream failed");

    std::ostringstream bad_out;
    bad_out.setstate(std::ios::badbit);
    Channel::StreamWriter bw(bad_out);
    e = error_of([&] { bw.write_byte(1); });
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.text(), "Stream failed");
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
        EXPECT_FALSE(w.rewindable());
        auto e = error_of([&] { w.rewind(1); });
        EXPECT_EQ(e.code(), 2);
        EXPECT_EQ(e.text(), "Can't rewind");
        ::close(fds[1]);
    }
    Channel::FDReader r(fds[0]);
    r.skip(9999);  // larger than the reader's local skip buffer
    EXPECT_EQ(r.read_byte(), static_cast<uint8_t>(9999 * 7));
    EXPECT_EQ(r.read_nbo_32(), 0xCAFEBABEu);
    uint32_t v = 0;
    EXPECT_FALSE(r.try_read_le_32(v));
    EXPECT_EQ(error_of([&] { r.read_byte(); }).text(), "EOF");
    EXPECT_EQ(error_of([&] { r.rewind(1); }).text(), "Can't rewind");
    ::close(fds[0]);

    Channel::FDReader closed_reader(fds[0]);
    auto e = error_of([&] { closed_reader.read_byte(); });
    EXPECT_EQ(e.code(), 2);
    EXPECT_EQ(e.text(), std::strerror(EBADF));
    Channel::FDWriter closed_writer(fds[1]);
    e = error_of([&] { closed_writer.write_byte(1); });
    EXPECT_EQ(e.code(), 2);
    EXPECT_EQ(e.text(), std::strerror(EBADF));
}
