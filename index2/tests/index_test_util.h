// Index files for tests and benchmarks, written with the format layer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "index2/block.h"

namespace Corvid::Index2::Testing {

// Writes a header and the blocks (each written with the given block size) to path.
void write_index(const std::string& path, const std::vector<Block>& blocks,
                 uint32_t block_size = kDefaultBlockSize);

// An index shaped like the daemon's for a stream of the given length: a stand-alone NEW-NPT block
// every 40 ms of PCR, and every gop seconds instead a three-block intra entry (PSI, picture data,
// a reference into the segment). Offsets grow at bytes_per_second, on packet boundaries.
std::vector<Block> synthetic_index(double seconds, double gop_seconds, uint64_t bytes_per_second);

}  // namespace Corvid::Index2::Testing
