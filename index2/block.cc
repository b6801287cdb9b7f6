#include "index2/block.h"

#include <cstring>
#include <iomanip>
#include <ostream>
#include <vector>

#include "gantry/channel/error.h"
#include "gantry/channel/reader.h"
#include "gantry/channel/writer.h"

namespace Corvid::Index2 {

namespace {

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
void put64(uint8_t* p, uint64_t v) {
    put32(p, static_cast<uint32_t>(v >> 32));
    put32(p + 4, static_cast<uint32_t>(v));
}
uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t get32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
uint64_t get64(const uint8_t* p) {
    return uint64_t{get32(p)} << 32 | get32(p + 4);
}

// A block-sized scratch buffer: on the stack for the usual sizes, on the heap otherwise. The size
// is bounded by kMaxBlockSize before this is built.
class Scratch {
  public:
    explicit Scratch(uint32_t size) {
        if (size <= sizeof small_) {
            data_ = small_;
        } else {
            large_.resize(size);
            data_ = large_.data();
        }
    }
    uint8_t* data() { return data_; }

  private:
    uint8_t small_[1024];
    std::vector<uint8_t> large_;
    uint8_t* data_;
};

// Field offsets in a block.
constexpr size_t kOffsetAt = 0;
constexpr size_t kNptAt = 8;
constexpr size_t kFlagsAt = 12;
constexpr size_t kCountAt = 16;
constexpr size_t kIndexAt = 18;
constexpr size_t kRefLengthAt = 20;
constexpr size_t kRefOffsetAt = 24;
constexpr size_t kDataLengthAt = 32;

}  // namespace

void Block::encode(uint8_t* buffer) const {
    put64(buffer + kOffsetAt, offset);
    put32(buffer + kNptAt, npt_to_millis(npt));
    put32(buffer + kFlagsAt, flags);
    put16(buffer + kCountAt, count);
    put16(buffer + kIndexAt, index);
    put32(buffer + kRefLengthAt, ref_length);
    put64(buffer + kRefOffsetAt, ref_offset);
    put32(buffer + kDataLengthAt, static_cast<uint32_t>(data.size()));
    std::memcpy(buffer + kBlockFieldBytes, data.data(), data.size());
    std::memset(buffer + kBlockFieldBytes + data.size(), 0,
                block_size - kBlockFieldBytes - data.size());
}

void Block::decode(const uint8_t* buffer) {
    uint32_t length = get32(buffer + kDataLengthAt);
    if (uint64_t{length} + kBlockFieldBytes > block_size)
        throw Channel::Error(1, "Block data too long");
    offset = get64(buffer + kOffsetAt);
    npt = millis_to_npt(get32(buffer + kNptAt));
    flags = get32(buffer + kFlagsAt);
    count = get16(buffer + kCountAt);
    index = get16(buffer + kIndexAt);
    ref_length = get32(buffer + kRefLengthAt);
    ref_offset = get64(buffer + kRefOffsetAt);
    data.assign(reinterpret_cast<const char*>(buffer + kBlockFieldBytes), length);
}

void Block::write(Channel::Writer& out) const {
    if (uint64_t{data.size()} + kBlockFieldBytes > block_size)
        throw Channel::Error(1, "Block data too long");
    if (block_size > kMaxBlockSize) throw Channel::Error(1, "Block size too large");
    Scratch buffer(block_size);
    encode(buffer.data());
    out.write(buffer.data(), block_size);
}

void Block::write_entry(Channel::Writer& out) const {
    if (block_size <= kBlockFieldBytes) {
        // No room for data at all: only an entry without data can be written.
        if (!data.empty()) throw Channel::Error(1, "Block data too long");
        Block single = *this;
        single.count = 1;
        single.index = 0;
        single.write(out);
        return;
    }
    const size_t piece = block_size - kBlockFieldBytes;
    size_t blocks = data.empty() ? 1 : (data.size() + piece - 1) / piece;
    if (blocks > 0xFFFF) throw Channel::Error(1, "Block data too long");
    Block part;
    part.block_size = block_size;
    part.offset = offset;
    part.npt = npt;
    part.count = static_cast<uint16_t>(blocks);
    for (size_t i = 0; i < blocks; ++i) {
        part.flags = i == 0 ? flags : 0;
        part.index = static_cast<uint16_t>(i);
        bool last = i + 1 == blocks;
        part.ref_length = last ? ref_length : 0;
        part.ref_offset = last ? ref_offset : 0;
        size_t from = i * piece;
        part.data.assign(data, from, std::min(piece, data.size() - std::min(from, data.size())));
        part.write(out);
    }
}

void Block::read(Channel::Reader& in) {
    if (block_size < kBlockFieldBytes) {
        // Even an empty block would not fit: read the fields as a whole block would, then refuse.
        uint8_t fields[kBlockFieldBytes];
        in.read(fields, sizeof fields);
        throw Channel::Error(1, "Block data too long");
    }
    if (block_size > kMaxBlockSize) throw Channel::Error(1, "Block size too large");
    Scratch buffer(block_size);
    in.read(buffer.data(), block_size);
    decode(buffer.data());
}

void Block::read_entry(Channel::Reader& in) {
    read(in);
    if (index != 0) throw Channel::Error(2, "Multiple block index out of sync");
    Block next;
    next.block_size = block_size;
    for (uint32_t i = 1; i < count; ++i) {
        next.read(in);
        if (next.index != i) throw Channel::Error(2, "Multiple block index out of sync");
        data += next.data;
        if (i + 1 == count) {
            ref_length = next.ref_length;
            ref_offset = next.ref_offset;
        }
    }
}

void Block::dump(std::ostream& out, bool show_data) const {
    auto old_flags = out.flags();
    auto old_precision = out.precision();
    // Enough digits to show every stored millisecond of a 32-bit NPT.
    out << std::setprecision(15);
    out << "Index2 block[" << block_size << "]: NPT " << npt << "@" << offset;
    if (has(kFlagNewNpt)) out << " NEW-NPT";
    if (has(kFlagIntra)) out << " INTRA";
    if (count) out << " (" << index << "/" << count << ")";
    out << '\n';
    if (ref_length) out << "  Ref data: " << ref_length << "@" << ref_offset << '\n';
    if (show_data && !data.empty()) {
        out << "  Inline data (" << data.size() << "):\n";
        static const char digits[] = "0123456789abcdef";
        for (size_t line = 0; line < data.size(); line += 16) {
            std::string hex = "    ";
            std::string text;
            for (size_t i = 0; i < 16; ++i) {
                if (i && i % 4 == 0) hex += ' ';
                if (line + i < data.size()) {
                    auto byte = static_cast<uint8_t>(data[line + i]);
                    hex += digits[byte >> 4];
                    hex += digits[byte & 15];
                    text += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
                } else {
                    hex += "  ";
                }
            }
            out << hex << "  " << text << '\n';
        }
    }
    out.flags(old_flags);
    out.precision(old_precision);
}

}  // namespace Corvid::Index2
