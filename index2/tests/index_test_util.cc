#include "index2/tests/index_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <utility>

#include "gantry/channel/block.h"
#include "gantry/channel/stream.h"
#include "index2/header.h"
#include "tests/support/test_support.h"

namespace Corvid::Index2::Testing {

void write_index(const std::string& path, const std::vector<Block>& blocks, uint32_t block_size,
                 uint32_t header_flags) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    Gantry::Channel::StreamWriter writer(out);
    Header{.flags = header_flags, .block_size = block_size}.write(writer);
    for (Block block : blocks) {
        block.block_size = block_size;
        block.write(writer);
    }
}

std::vector<Block> read_blocks(const std::string& path) {
    auto bytes = Corvid::Testing::read_file(path);
    EXPECT_EQ(bytes.size() % kDefaultBlockSize, 0u) << path << " is not a whole number of blocks";
    std::vector<Block> blocks;
    Gantry::Channel::BlockReader in(bytes.data(), bytes.size());
    for (in.skip(kDefaultBlockSize); in.remaining() >= kDefaultBlockSize;)
        blocks.emplace_back().read(in);
    return blocks;
}

std::string describe(const Block& block) {
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

std::vector<std::string> describe(const std::vector<Block>& blocks) {
    std::vector<std::string> out;
    for (const Block& block : blocks)
        out.push_back(describe(block));
    return out;
}

std::vector<Block> synthetic_index(double seconds, double gop_seconds, uint64_t bytes_per_second) {
    std::vector<Block> blocks;
    const int gop_ticks = static_cast<int>(std::lround(gop_seconds / 0.04));
    for (int tick = 1; tick <= static_cast<int>(seconds / 0.04); ++tick) {
        Block block{.offset = static_cast<uint64_t>(tick * 0.04 * bytes_per_second) / 188 * 188,
                    .npt = tick * 0.04,
                    .flags = kFlagNewNpt,
                    .data = {}};
        if (tick % gop_ticks != 5 % gop_ticks) {
            blocks.push_back(block);
            continue;
        }
        block.flags |= kFlagIntra;
        block.count = 3;
        block.data.assign(220, 'P');
        blocks.push_back(block);
        block.flags = kFlagVideoStart;
        block.index = 1;
        block.data.assign(156, 'V');
        blocks.push_back(block);
        block.flags = kFlagRef;
        block.index = 2;
        block.data.clear();
        block.ref_offset = block.offset + 188;
        block.ref_length = 188 * 40;
        blocks.push_back(block);
    }
    return blocks;
}

}  // namespace Corvid::Index2::Testing
