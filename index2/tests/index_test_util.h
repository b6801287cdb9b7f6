// Index files for the index2 tests, written and read back with the format layer alone.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gantry/channel/block.h"
#include "gantry/channel/stream.h"
#include "index2/block.h"
#include "index2/header.h"
#include "tests/support/test_support.h"

namespace Corvid::Index2::Testing {

inline void write_index(const std::string& path, const std::vector<Block>& blocks,
                        uint32_t block_size = kDefaultBlockSize) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    Gantry::Channel::StreamWriter writer(out);
    Header{.block_size = block_size}.write(writer);
    for (Block block : blocks) {
        block.block_size = block_size;
        block.write(writer);
    }
}

// Every block after the header; fails the test if the file is not whole blocks.
inline std::vector<Block> read_blocks(const std::string& path) {
    auto bytes = Corvid::Testing::read_file(path);
    EXPECT_EQ(bytes.size() % kDefaultBlockSize, 0u) << path << " is not a whole number of blocks";
    std::vector<Block> blocks;
    Gantry::Channel::BlockReader in(bytes.data(), bytes.size());
    for (in.skip(kDefaultBlockSize); in.remaining() >= kDefaultBlockSize;)
        blocks.emplace_back().read(in);
    return blocks;
}

// "<offset> <npt> <flags> <index>/<count> ref <length>@<offset> data <bytes>", flags as letters
// N(EW-NPT) I(NTRA) R(EF) V(IDEO-START) or "-".
inline std::string describe(const Block& b) {
    std::ostringstream out;
    out << b.offset << ' ' << b.npt << ' ';
    for (auto [flag, letter] :
         {std::pair{kFlagNewNpt, 'N'}, {kFlagIntra, 'I'}, {kFlagRef, 'R'}, {kFlagVideoStart, 'V'}})
        if (b.has(flag)) out << letter;
    out << (b.flags == 0 ? "- " : " ") << b.index << '/' << b.count << " ref " << b.ref_length
        << '@' << b.ref_offset << " data " << b.data.size();
    return out.str();
}

inline std::vector<std::string> describe(const std::vector<Block>& blocks) {
    std::vector<std::string> out;
    for (const Block& block : blocks)
        out.push_back(describe(block));
    return out;
}

}  // namespace Corvid::Index2::Testing
