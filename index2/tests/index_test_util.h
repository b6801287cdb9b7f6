// Index files for the index2 tests, written and read back with the format layer alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "index2/block.h"

namespace Corvid::Index2::Testing {

// Writes a header and the blocks (each written with the given block size) to path.
void write_index(const std::string& path, const std::vector<Block>& blocks,
                 uint32_t block_size = kDefaultBlockSize, uint32_t header_flags = 0);

// Every block after the 256-byte header; fails the test if the file is not whole blocks.
std::vector<Block> read_blocks(const std::string& path);

// "<offset> <npt> <flags> <index>/<count> ref <length>@<offset> data <bytes>", flags as
// NEW-NPT+INTRA+REF+VIDEO-START or "-": a block in one comparable line.
std::string describe(const Block& block);
std::vector<std::string> describe(const std::vector<Block>& blocks);

// An index shaped like the daemon's: a stand-alone NEW-NPT block every 40 ms, and every gop seconds
// instead a three-block intra entry (PSI, picture, a reference into the segment). Offsets grow at
// bytes_per_second, on packet boundaries.
std::vector<Block> synthetic_index(double seconds, double gop_seconds, uint64_t bytes_per_second);

}  // namespace Corvid::Index2::Testing
