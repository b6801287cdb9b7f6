#include "index2/header.h"

#include <ostream>
#include <vector>

#include "gantry/channel/error.h"
#include "gantry/channel/reader.h"
#include "gantry/channel/writer.h"

namespace Corvid::Index2 {

void Header::write(Channel::Writer& out) const {
    if (block_size <= 15) throw Channel::Error(1, "Block size too small");
    out.write_nbo_32(kMagic);
    out.write_nbo_32(block_size);
    out.write_nbo_32(flags);
    out.write_nbo_32(block_size);
    out.skip(block_size - kHeaderFieldBytes);
}

void Header::read(Channel::Reader& in) {
    if (in.read_nbo_32() != kMagic) throw Channel::Error(2, "Not a CVI2 file");
    uint32_t size = in.read_nbo_32();
    flags = in.read_nbo_32();
    uint32_t block = in.read_nbo_32();
    if (size <= 15) throw Channel::Error(1, "Header size too small");
    if (block < kHeaderFieldBytes) throw Channel::Error(1, "Block size too small");
    if (block > kMaxBlockSize) throw Channel::Error(1, "Block size too large");
    // The blocks follow the header at whole multiples of the block size.
    if (size != block) throw Channel::Error(1, "Header size differs from block size");
    header_size = size;
    block_size = block;
    in.skip(size - kHeaderFieldBytes);
}

void Header::dump(std::ostream& out) const {
    auto old = out.flags();
    out << "CVI2 file, flags " << std::hex << flags << std::dec << ", block size " << block_size
        << '\n';
    out.flags(old);
}

}  // namespace Corvid::Index2
