// Index files read back with the format layer alone, for the index2 tests.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "gantry/channel/block.h"
#include "index2/block.h"
#include "tests/support/test_support.h"

namespace Corvid::Index2::Testing {

// Every block after the header, which must be the default one; and the file whole blocks.
inline std::vector<Block> read_blocks(const std::string& path) {
    auto bytes = Corvid::Testing::read_file(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 256)),
              std::string("CVI2\0\0\1\0\0\0\0\0\0\0\1\0", 16) + std::string(240, '\0'));
    EXPECT_EQ(bytes.size() % kDefaultBlockSize, 0u) << path;
    std::vector<Block> blocks;
    Gantry::Channel::BlockReader in(bytes.data(), bytes.size());
    for (in.skip(kDefaultBlockSize); in.remaining() >= kDefaultBlockSize;)
        blocks.emplace_back().read(in);
    return blocks;
}

// "<offset> <npt> <flags> <index>/<count> ref <length>@<offset> data <bytes>", the flags (bits 0
// to 3) as the letters of NEW-NPT, INTRA, REF, VIDEO-START, or "-".
inline std::vector<std::string> describe(const std::vector<Block>& blocks) {
    std::vector<std::string> lines;
    for (const Block& b : blocks) {
        std::ostringstream out;
        out << b.offset << ' ' << b.npt << ' ' << (b.flags == 0 ? "-" : "");
        for (int bit = 0; bit < 4; ++bit)
            if (b.flags >> bit & 1) out << "NIRV"[bit];
        out << ' ' << b.index << '/' << b.count << " ref " << b.ref_length << '@' << b.ref_offset
            << " data " << b.data.size();
        lines.push_back(out.str());
    }
    return lines;
}

}  // namespace Corvid::Index2::Testing
