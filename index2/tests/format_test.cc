// Byte layout, error texts and dump forms of the header and the blocks.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "gantry/channel/block.h"
#include "gantry/channel/error.h"
#include "gantry/channel/stream.h"
#include "index2/block.h"
#include "index2/header.h"
#include "index2/tests/index_test_util.h"

namespace Corvid::Index2 {
namespace {

using Gantry::Channel::BlockReader;
using Gantry::Channel::Error;
using Testing::describe;

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

// What write(), or write_entry() when entry is set, puts out.
template <typename T>
std::string written(const T& item, bool entry = false) {
    std::ostringstream out;
    Gantry::Channel::StreamWriter writer(out);
    if constexpr (std::is_same_v<T, Block>) {
        entry ? item.write_entry(writer) : item.write(writer);
    } else {
        item.write(writer);
    }
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

TEST(BlockFormat, FieldsAreBigEndianAtTheirOffsetsAndReadBack) {
    Block block{.offset = 0x0102030405060708,
                .npt = 12.3456,
                .flags = kFlagNewNpt | kFlagRef,
                .count = 2,
                .index = 1,
                .ref_length = 0x11223344,
                .ref_offset = 0x0A0B0C0D0E0F1011,
                .data = "AB"};
    std::string file = written(block);
    ASSERT_EQ(file.size(), 256u);
    // 12.3456 s is stored as 12345 ms = 0x3039.
    EXPECT_EQ(file.substr(0, 38),
              bytes({1,    2,    3,    4,    5,    6,    7, 8,    0,    0,    0x30, 0x39, 0,
                     0,    0,    5,    0,    2,    0,    1, 0x11, 0x22, 0x33, 0x44, 0x0A, 0x0B,
                     0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0, 0,    0,    2,    'A',  'B'}));
    EXPECT_EQ(file.substr(38), std::string(218, '\0'));

    Block back;
    BlockReader in(file.data(), file.size());
    back.read(in);
    EXPECT_EQ(in.offset(), 256u);
    EXPECT_EQ(written(back), file);  // every field read back; the layout is pinned above
    EXPECT_DOUBLE_EQ(back.npt, 12.345);
}

TEST(BlockFormat, EntryOf500BytesTakesThreeBlocksOf220_220_60) {
    Block entry{.offset = 1880,
                .npt = 3.5,
                .flags = kFlagIntra | kFlagRef,
                .ref_length = 376,
                .ref_offset = 2068,
                .data = {}};
    for (int i = 0; i < 500; ++i)
        entry.data += static_cast<char>(i * 7);
    std::string file = written(entry, true);
    ASSERT_EQ(file.size(), 3 * 256u);
    std::vector<Block> parts(3);
    BlockReader in(file.data(), file.size());
    for (Block& part : parts)
        part.read(in);
    EXPECT_EQ(describe(parts), (std::vector<std::string>{"1880 3.5 INTRA+REF 0/3 ref 0@0 data 220",
                                                         "1880 3.5 - 1/3 ref 0@0 data 220",
                                                         "1880 3.5 - 2/3 ref 376@2068 data 60"}));
    EXPECT_EQ(parts[0].data + parts[1].data + parts[2].data, entry.data);

    Block back;
    BlockReader again(file.data(), file.size());
    back.read_entry(again);
    EXPECT_EQ(describe(back), "1880 3.5 INTRA+REF 0/3 ref 376@2068 data 500");
    EXPECT_EQ(back.data, entry.data);

    // Without data an entry is still one block, numbered 0 of 1.
    std::string empty = written(Block{.flags = kFlagNewNpt, .data = {}}, true);
    ASSERT_EQ(empty.size(), 256u);
    EXPECT_EQ(empty.substr(16, 4), bytes({0, 1, 0, 0}));
}

// Hostile lengths and counts give the format's errors, never a read past the data or an
// allocation sized by the file. (The magic and header-size errors are checked through the reader's
// log lines.)
TEST(BlockFormat, ErrorPaths) {
    for (auto [what, error, text] :
         {std::tuple{"write block size 15", thrown([] { written(Header{.block_size = 15}); }),
                     "Block size too small"},
          {"write 221 bytes", thrown([] { written(Block{.data = std::string(221, 'x')}); }),
           "Block data too long"}}) {
        EXPECT_EQ(error.code(), 1) << what;
        EXPECT_EQ(error.text(), text) << what;
    }

    std::string block = written(Block{}), length_221 = block, length_max = block;
    length_221[35] = static_cast<char>(221);
    length_max.replace(32, 4, 4, static_cast<char>(0xFF));  // must not wrap the bounds check
    std::string entry = written(Block{.data = std::string(500, 'z')}, true);
    std::string shuffled = entry, hostile_count = entry;
    shuffled[256 + 19] = 2;                                    // second block claims index 2
    hostile_count.replace(16, 2, 2, static_cast<char>(0xFF));  // 65535 blocks over a file of 3
    enum Read { header, block_only, whole_entry };
    constexpr int any_error = -2;
    const struct {
        const char* what;
        std::string file;
        Read read;
        int code;          // any_error: end of data or a skip beyond the memory block
        const char* text;  // "": end of data, whatever the wording
    } cases[] = {
        {"block size 0x7F000000",
         bytes({'C', 'V', 'I', '2', 0, 0, 0, 16, 0, 0, 0, 0, 0x7F, 0, 0, 0}), header, 1,
         "Block size too large"},
        {"header cut short", written(Header{}).substr(0, 100), header, any_error, ""},
        {"stored length 221", length_221, block_only, 1, "Block data too long"},
        {"stored length 2^32-1", length_max, block_only, 1, "Block data too long"},
        {"block cut short", block.substr(0, 200), block_only, 0, ""},
        {"index out of place", shuffled, whole_entry, 2, "Multiple block index out of sync"},
        {"count 65535", hostile_count, whole_entry, 0, ""},
    };
    for (const auto& c : cases) {
        Error e = thrown([&] {
            BlockReader in(c.file.data(), c.file.size());
            Header h;
            Block b;
            c.read == header ? h.read(in) : c.read == block_only ? b.read(in) : b.read_entry(in);
        });
        EXPECT_NE(e.code(), -1) << c.what;
        EXPECT_EQ(e.code(), c.code == any_error ? e.code() : c.code) << c.what;
        EXPECT_EQ(e.text(), *c.text ? std::string(c.text) : e.text()) << c.what;
    }
}

TEST(BlockDump, FormsOfHeaderAndBlocks) {
    std::ostringstream out;
    Header{.flags = 0x1F}.dump(out);
    EXPECT_EQ(out.str(), "CVI2 file, flags 1f, block size 256\n");

    auto dump = [](const Block& block, bool show_data) {
        std::ostringstream text;
        block.dump(text, show_data);
        return text.str();
    };
    EXPECT_EQ(dump({.offset = 56024,
                    .npt = 3600.125,
                    .flags = kFlagNewNpt | kFlagIntra | kFlagRef | kFlagVideoStart,
                    .count = 3,
                    .index = 1,
                    .ref_length = 9588,
                    .ref_offset = 56400,
                    .data = {}},
                   false),
              "Index2 block[256]: NPT 3600.125@56024 NEW-NPT INTRA (1/3)\n"
              "  Ref data: 9588@56400\n");

    Block plain{.offset = 188,
                .npt = 0.52,
                .data = std::string("\x47\x40\x00\x10", 4) + "0123456789ABCDEF!"};
    EXPECT_EQ(dump(plain, true),
              "Index2 block[256]: NPT 0.52@188\n"
              "  Inline data (21):\n"
              "    47400010 30313233 34353637 38394142  G@..0123456789AB\n"
              "    43444546 21                          CDEF!\n");
    EXPECT_EQ(dump(plain, false), "Index2 block[256]: NPT 0.52@188\n");
}

}  // namespace
}  // namespace Corvid::Index2
