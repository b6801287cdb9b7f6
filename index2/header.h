// The header block of a "CVI2" index file.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "index2/format.h"

namespace Gantry::Channel {
class Reader;
class Writer;
}  // namespace Gantry::Channel

namespace Corvid::Index2 {

namespace Channel = Gantry::Channel;

struct Header {
    uint32_t flags = 0;
    uint32_t block_size = kDefaultBlockSize;
    // Bytes the header occupies in the file. Always block_size when written; read from the file.
    uint32_t header_size = kDefaultBlockSize;

    // Writes one header of block_size bytes (header size = block size, zero padding). Throws
    // Channel::Error code 1 "Block size too small" when the block size is 15 or less, and whatever
    // the writer throws.
    void write(Channel::Writer& out) const;

    // Reads a header and skips its padding. Throws Channel::Error: code 2 "Not a CVI2 file", code 1
    // "Header size too small" (15 or less), "Block size too small" (15 or less), "Block size too
    // large" (above kMaxBlockSize) or "Header size differs from block size", and code 0 at end of
    // data.
    void read(Channel::Reader& in);

    // "CVI2 file, flags <hex>, block size <decimal>" and a newline.
    void dump(std::ostream& out) const;
};

}  // namespace Corvid::Index2
