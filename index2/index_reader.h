// Read-only access to a "CVI2" index file: blocks, the last (intra) block, bit rate, the block that
// covers a normal play time, intra entries, and a copy with shifted offsets.
//
// A reader is a short-lived object of one thread; it shares and locks nothing. The file may be
// growing while it is read (the capture appends to the index of the segment it is recording): the
// reader only ever looks at the whole blocks present when an operation starts, so a trailing
// partial block is ignored. Nothing throws out of a reader: failures are logged and give false (or
// 0). Any bytes at all give those failures, never a crash or an unbounded allocation.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "index2/block.h"
#include "index2/header.h"

namespace Corvid::Index2 {

class IndexReader {
  public:
    // (NPT seconds, segment file offset) pairs.
    using IntraList = std::vector<std::pair<double, uint64_t>>;

    // Opens path read-only and reads the header. A bad header is logged ("File <path> is not a
    // valid CVI2 file: <error>") and leaves the reader invalid; a file that cannot be opened leaves
    // it invalid silently.
    explicit IndexReader(const std::string& path);
    ~IndexReader();
    IndexReader(const IndexReader&) = delete;
    IndexReader& operator=(const IndexReader&) = delete;

    bool valid() const { return fd_ >= 0; }
    const Header& header() const { return header_; }

    // Reads the block at offset rounded down to a whole block, or, for offset 0, the next block at
    // the current file position (the first block after the header once it has been read).
    bool read_block(uint64_t offset, Block& block);

    // Multi-block read of the entry whose first block lies at offset (rounded down as above).
    bool read_entry(uint64_t offset, Block& block);

    // The last block whose flags contain every bit of mask, and its position in the index file.
    // Fails (logged) when there is none, or when that block has NPT 0.
    bool find_last(Block& block, uint64_t& position, uint32_t mask);
    bool find_last_intra(Block& block, uint64_t& position) {
        return find_last(block, position, kFlagIntra);
    }
    bool find_last_block(Block& block, uint64_t& position) { return find_last(block, position, 0); }

    // Average bits per second over the file (last block's offset against its NPT), 0 if unknown.
    int32_t bit_rate();

    // Finds the block that covers npt by interpolation search. On success npt becomes the NPT found
    // and stream_offset/block_position its segment offset and index file position. With intra, the
    // result moves to the first intra entry at or after the requested NPT where there is one.
    bool find_npt(double& npt, bool intra, uint64_t& stream_offset, uint64_t& block_position);

    // (0, 0) followed by the intra entries whose NPT exceeds the running threshold + interval (the
    // threshold grows by interval at each entry taken; interval 0 lists them all).
    bool list_intra(double interval, IntraList& list);

    // Writes a copy of the index to out with every block offset shifted: shifts maps a segment
    // offset to the shift that applies from the first block at or beyond it.
    bool rewrite(std::ostream& out, const std::map<uint64_t, int64_t>& shifts);

    // Blocks read from the file since construction (or the last reset); for tests and benchmarks.
    uint64_t blocks_read() const { return blocks_read_; }
    void reset_blocks_read() { blocks_read_ = 0; }

  private:
    // Position just past the last whole block of the file as it is now.
    uint64_t end_of_blocks() const;
    // Reads the block at position; throws Channel::Error (also for a failed seek).
    void read_at(uint64_t position, Block& block);
    // Seeks to the start of the block that holds offset; logs and returns false if it cannot.
    bool seek_block(uint64_t offset);

    int fd_ = -1;
    Header header_;
    uint64_t blocks_read_ = 0;
};

}  // namespace Corvid::Index2
