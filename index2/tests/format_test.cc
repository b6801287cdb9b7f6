// Byte layout, round trips, error paths and dump forms of the header and the blocks.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "gantry/channel/block.h"
#include "gantry/channel/error.h"
#include "gantry/channel/stream.h"
#include "index2/block.h"
#include "index2/header.h"

namespace Corvid::Index2 {
namespace {

using Gantry::Channel::BlockReader;
using Gantry::Channel::Error;
using Gantry::Channel::StreamWriter;

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

std::string write_header(const Header& header) {
    std::ostringstream out;
    StreamWriter writer(out);
    header.write(writer);
    return out.str();
}

std::string write_block(const Block& block) {
    std::ostringstream out;
    StreamWriter writer(out);
    block.write(writer);
    return out.str();
}

// Runs f and returns the Channel::Error it throws (code -1 and empty text if it throws nothing).
template <typename F>
Error thrown(F f) {
    try {
        f();
    } catch (const Error& error) {
        return error;
    }
    return Error(-1, "");
}

TEST(HeaderFormat, NewHeaderIsMagicSizeFlagsBlockSizeAndZeroPadding) {
    std::string file = write_header(Header{});
    ASSERT_EQ(file.size(), 256u);
    EXPECT_EQ(file.substr(0, 16), bytes({'C', 'V', 'I', '2', 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(file.substr(16), std::string(240, '\0'));
}

TEST(HeaderFormat, RoundTripsFlagsAndBlockSize) {
    Header header;
    header.flags = 0xA5;
    header.block_size = 512;
    std::string file = write_header(header);
    ASSERT_EQ(file.size(), 512u);
    Header back;
    BlockReader in(file.data(), file.size());
    back.read(in);
    EXPECT_EQ(back.flags, 0xA5u);
    EXPECT_EQ(back.block_size, 512u);
    EXPECT_EQ(back.header_size, 512u);
    EXPECT_EQ(in.offset(), 512u);
}

TEST(HeaderFormat, ErrorPaths) {
    Header small;
    small.block_size = 15;
    Error e = thrown([&] { write_header(small); });
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.text(), "Block size too small");

    std::string wrong = "CVI1" + std::string(252, '\0');
    e = thrown([&] {
        Header h;
        BlockReader in(wrong.data(), wrong.size());
        h.read(in);
    });
    EXPECT_EQ(e.code(), 2);
    EXPECT_EQ(e.text(), "Not a CVI2 file");

    std::string tiny = bytes({'C', 'V', 'I', '2', 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 1, 0});
    e = thrown([&] {
        Header h;
        BlockReader in(tiny.data(), tiny.size());
        h.read(in);
    });
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.text(), "Header size too small");

    std::string huge = bytes({'C', 'V', 'I', '2', 0, 0, 0, 16, 0, 0, 0, 0, 0x7F, 0, 0, 0});
    e = thrown([&] {
        Header h;
        BlockReader in(huge.data(), huge.size());
        h.read(in);
    });
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.text(), "Block size too large");

    std::string cut = write_header(Header{}).substr(0, 100);
    e = thrown([&] {
        Header h;
        BlockReader in(cut.data(), cut.size());
        h.read(in);
    });
    EXPECT_NE(e.code(), -1);  // end of data (or a skip beyond the memory block)
}

Block sample_block() {
    Block block;
    block.offset = 0x0102030405060708;
    block.npt = 12.3456;
    block.flags = kFlagNewNpt | kFlagRef;
    block.count = 2;
    block.index = 1;
    block.ref_length = 0x11223344;
    block.ref_offset = 0x0A0B0C0D0E0F1011;
    block.data = "AB";
    return block;
}

TEST(BlockFormat, FieldsAreBigEndianAtTheirOffsets) {
    std::string file = write_block(sample_block());
    ASSERT_EQ(file.size(), 256u);
    // 12.3456 s is stored as 12345 ms = 0x3039.
    EXPECT_EQ(file.substr(0, 38),
              bytes({1,    2,    3,    4,    5,    6,    7, 8,    0,    0,    0x30, 0x39, 0,
                     0,    0,    5,    0,    2,    0,    1, 0x11, 0x22, 0x33, 0x44, 0x0A, 0x0B,
                     0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0, 0,    0,    2,    'A',  'B'}));
    EXPECT_EQ(file.substr(38), std::string(218, '\0'));
}

TEST(BlockFormat, RoundTripTruncatesNptToMilliseconds) {
    std::string file = write_block(sample_block());
    Block back;
    BlockReader in(file.data(), file.size());
    back.read(in);
    EXPECT_EQ(back.offset, 0x0102030405060708u);
    EXPECT_DOUBLE_EQ(back.npt, 12.345);
    EXPECT_EQ(back.flags, kFlagNewNpt | kFlagRef);
    EXPECT_EQ(back.count, 2);
    EXPECT_EQ(back.index, 1);
    EXPECT_EQ(back.ref_length, 0x11223344u);
    EXPECT_EQ(back.ref_offset, 0x0A0B0C0D0E0F1011u);
    EXPECT_EQ(back.data, "AB");
    EXPECT_EQ(in.offset(), 256u);
}

TEST(BlockFormat, ErrorPaths) {
    Block big;
    big.data.assign(221, 'x');
    Error e = thrown([&] { write_block(big); });
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.text(), "Block data too long");

    // A stored data length of 221 does not fit a 256-byte block.
    std::string file = write_block(Block{});
    file[35] = static_cast<char>(221);
    e = thrown([&] {
        Block b;
        BlockReader in(file.data(), file.size());
        b.read(in);
    });
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.text(), "Block data too long");

    // A hostile length near 2^32 must not wrap the bounds check.
    file[32] = file[33] = file[34] = file[35] = static_cast<char>(0xFF);
    e = thrown([&] {
        Block b;
        BlockReader in(file.data(), file.size());
        b.read(in);
    });
    EXPECT_EQ(e.text(), "Block data too long");

    std::string cut = write_block(Block{}).substr(0, 200);
    e = thrown([&] {
        Block b;
        BlockReader in(cut.data(), cut.size());
        b.read(in);
    });
    EXPECT_EQ(e.code(), 0);
}

TEST(BlockFormat, EntryOf500BytesTakesThreeBlocksOf220_220_60) {
    Block entry;
    entry.offset = 1880;
    entry.npt = 3.5;
    entry.flags = kFlagIntra | kFlagRef;
    entry.ref_length = 376;
    entry.ref_offset = 2068;
    for (int i = 0; i < 500; ++i)
        entry.data += static_cast<char>(i * 7);
    std::ostringstream out;
    StreamWriter writer(out);
    entry.write_entry(writer);
    std::string file = out.str();
    ASSERT_EQ(file.size(), 3 * 256u);

    BlockReader in(file.data(), file.size());
    size_t lengths[] = {220, 220, 60};
    for (uint16_t i = 0; i < 3; ++i) {
        Block part;
        part.read(in);
        EXPECT_EQ(part.offset, 1880u);
        EXPECT_DOUBLE_EQ(part.npt, 3.5);
        EXPECT_EQ(part.count, 3);
        EXPECT_EQ(part.index, i);
        EXPECT_EQ(part.flags, i == 0 ? kFlagIntra | kFlagRef : 0u);
        EXPECT_EQ(part.ref_length, i == 2 ? 376u : 0u);
        EXPECT_EQ(part.ref_offset, i == 2 ? 2068u : 0u);
        EXPECT_EQ(part.data, entry.data.substr(i * 220, lengths[i]));
    }

    Block back;
    BlockReader again(file.data(), file.size());
    back.read_entry(again);
    EXPECT_EQ(back.data, entry.data);
    EXPECT_EQ(back.flags, entry.flags);
    EXPECT_EQ(back.ref_length, 376u);
    EXPECT_EQ(back.ref_offset, 2068u);
    EXPECT_EQ(back.count, 3);
}

TEST(BlockFormat, EntryWithoutDataIsOneBlock) {
    Block entry;
    entry.flags = kFlagNewNpt;
    std::ostringstream out;
    StreamWriter writer(out);
    entry.write_entry(writer);
    Block back;
    std::string file = out.str();
    BlockReader in(file.data(), file.size());
    back.read(in);
    EXPECT_EQ(file.size(), 256u);
    EXPECT_EQ(back.count, 1);
    EXPECT_EQ(back.index, 0);
}

TEST(BlockFormat, EntryReadErrorPaths) {
    Block entry;
    entry.data.assign(500, 'z');
    std::ostringstream out;
    StreamWriter writer(out);
    entry.write_entry(writer);
    std::string file = out.str();

    // Second block claims index 2.
    std::string shuffled = file;
    shuffled[256 + 19] = 2;
    Error e = thrown([&] {
        Block b;
        BlockReader in(shuffled.data(), shuffled.size());
        b.read_entry(in);
    });
    EXPECT_EQ(e.code(), 2);
    EXPECT_EQ(e.text(), "Multiple block index out of sync");

    // A first block claiming 65535 blocks over a file of three: end of data, after reading only
    // what is there.
    std::string hostile = file;
    hostile[16] = hostile[17] = static_cast<char>(0xFF);
    e = thrown([&] {
        Block b;
        BlockReader in(hostile.data(), hostile.size());
        b.read_entry(in);
    });
    EXPECT_EQ(e.code(), 0);
}

TEST(BlockDump, FormsOfHeaderAndBlocks) {
    std::ostringstream out;
    Header header;
    header.flags = 0x1F;
    header.dump(out);
    EXPECT_EQ(out.str(), "CVI2 file, flags 1f, block size 256\n");

    out.str("");
    Block block;
    block.offset = 56024;
    block.npt = 3600.125;
    block.flags = kFlagNewNpt | kFlagIntra | kFlagRef | kFlagVideoStart;
    block.count = 3;
    block.index = 1;
    block.ref_length = 9588;
    block.ref_offset = 56400;
    block.dump(out, false);
    EXPECT_EQ(out.str(),
              "Index2 block[256]: NPT 3600.125@56024 NEW-NPT INTRA (1/3)\n"
              "  Ref data: 9588@56400\n");

    out.str("");
    Block plain;
    plain.npt = 0.52;
    plain.offset = 188;
    plain.data = std::string("\x47\x40\x00\x10", 4) + "0123456789ABCDEF!";
    plain.dump(out, true);
    EXPECT_EQ(out.str(),
              "Index2 block[256]: NPT 0.52@188\n"
              "  Inline data (21):\n"
              "    47400010 30313233 34353637 38394142  G@..0123456789AB\n"
              "    43444546 21                          CDEF!\n");

    out.str("");
    plain.dump(out, false);
    EXPECT_EQ(out.str(), "Index2 block[256]: NPT 0.52@188\n");
}

}  // namespace
}  // namespace Corvid::Index2
