// Index files for the index2 tests, written and read back with the format layer alone.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "gantry/channel/block.h"
#include "gantry/channel/stream.h"
#include "index2/block.h"
#include "index2/header.h"
#include "tests/support/test_support.h"

namespace Corvid::Index2::Testing {

// Writes a header and the blocks (each written with the given block size) to path.
inline void write_index(const std::string& path, const std::vector<Block>& blocks,
                        uint32_t block_size = kDefaultBlockSize, uint32_t header_flags = 0) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    Gantry::Channel::StreamWriter writer(out);
    Header{.flags = header_flags, .block_size = block_size}.write(writer);
    for (Block block : blocks) {
        block.block_size = block_size;
        block.write(writer);
    }
}

// Every block after the 256-byte header; fails the test if the file is not whole blocks.
inline std::vector<Block> read_blocks(const std::string& path) {
    auto bytes = Corvid::Testing::read_file(path);
    EXPECT_EQ(bytes.size() % kDefaultBlockSize, 0u) << path << " is not a whole number of blocks";
    std::vector<Block> blocks;
    Gantry::Channel::BlockReader in(bytes.data(), bytes.size());
    for (in.skip(kDefaultBlockSize); in.remaining() >= kDefaultBlockSize;)
        blocks.emplace_back().read(in);
    return blocks;
}

// "<offset> <npt> <flags> <index>/<count> ref <length>@<offset> data <bytes>", flags as
// NEW-NPT+INTRA+REF+VIDEO-START or "-": a block in one comparable line.
inline std::string describe(const Block& block) {
    std::ostringstream out;
    out << block.offset << ' ' << block.npt << ' ';
    const char* separator = "";
    for (auto [flag, name] : {std::pair{kFlagNewNpt, "NEW-NPT"},
                              {kFlagIntra, "INTRA"},
                              {kFlagRef, "REF"},
                              {kFlagVideoStart, "VIDEO-START"}})
        if (block.has(flag)) out << std::exchange(separator, "+") << name;
    out << (block.flags == 0 ? "- " : " ") << block.index << '/' << block.count << " ref "
        << block.ref_length << '@' << block.ref_offset << " data " << block.data.size();
    return out.str();
}

inline std::vector<std::string> describe(const std::vector<Block>& blocks) {
    std::vector<std::string> out;
    for (const Block& block : blocks)
        out.push_back(describe(block));
    return out;
}

}  // namespace Corvid::Index2::Testing
