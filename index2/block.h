// One data block of a "CVI2" index file, and entries spread over several blocks.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "index2/format.h"

namespace Gantry::Channel {
class Reader;
class Writer;
}  // namespace Gantry::Channel

namespace Corvid::Index2 {

namespace Channel = Gantry::Channel;

struct Block {
    // Not stored in the block: the file's block size, which fixes how many bytes a block occupies
    // and how much inline data fits (block_size - kBlockFieldBytes).
    uint32_t block_size = kDefaultBlockSize;
    uint64_t offset = 0;  // segment file offset of the packet the block was made from
    double npt = 0.0;     // seconds; stored as truncated milliseconds
    uint32_t flags = 0;   // kFlag* bits
    uint16_t count = 0;   // blocks in this block's entry, 0 for a stand-alone NPT block
    uint16_t index = 0;   // position in the entry
    uint32_t ref_length = 0;
    uint64_t ref_offset = 0;
    std::string data;  // inline data (pieces of transport packets)

    bool has(uint32_t flag) const { return (flags & flag) == flag; }

    // Writes the block padded to block_size. Throws Channel::Error code 1 "Block data too long" if
    // the data does not fit, and whatever the writer throws.
    void write(Channel::Writer& out) const;

    // Writes the block as an entry of as many blocks as its data needs (at least one): every block
    // carries offset and NPT, the first the flags, the last the reference. Throws code 1 "Block
    // data too long" if that would take more than 65535 blocks.
    void write_entry(Channel::Writer& out) const;

    // Reads one block of block_size bytes. Throws Channel::Error: code 1 "Block data too long" when
    // the stored data length does not fit the block, code 1 "Block size too large" for a block size
    // above kMaxBlockSize, code 0 at end of data. The block is unspecified after a throw.
    void read(Channel::Reader& in);

    // Reads a whole entry written by write_entry (the inverse): fields from its first block, the
    // reference from its last, the data of all blocks concatenated. Throws as read(), and code 2
    // "Multiple block index out of sync" when a block's index is not its position. Memory grows
    // only with the blocks actually read, never with the stored count.
    void read_entry(Channel::Reader& in);

    // "Index2 block[<size>]: NPT <s>@<offset>[ NEW-NPT][ INTRA][ (<index>/<count>)]", then a
    // "  Ref data: <length>@<offset>" line when ref length is non-zero and, with show_data, the
    // inline data as a hex dump.
    void dump(std::ostream& out, bool show_data) const;

    // In-memory forms of write and read: buffer holds exactly block_size bytes.
    void encode(uint8_t* buffer) const;
    void decode(const uint8_t* buffer);
};

}  // namespace Corvid::Index2
