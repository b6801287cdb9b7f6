// Bit-level reading for the video parsers (sequence headers, H.264 parameter sets and SEI).
#pragma once

#include <cstddef>
#include <cstdint>

#include "gantry/channel/block.h"

namespace Gantry::Channel {

// Reads bits most significant first. Bytes are taken from a BlockReader one at a time as the bits
// are needed, so the source's offset() always counts the bytes touched (a partly read byte counts
// as consumed). Running out of data throws code 0 "EOF", like the byte readers.
//
// Either over a caller's BlockReader (which must outlive this object and should not be read
// directly while bits of a started byte remain), or over a byte range that must outlive it.
class BitReader {
  public:
    explicit BitReader(BlockReader& source) : source_(&source) {}
    BitReader(const void* data, size_t length) : own_(data, length), source_(&own_) {}
    BitReader(const BitReader&) = delete;
    BitReader& operator=(const BitReader&) = delete;

    bool read_bit() {
        if (bits_left_ == 0) {
            current_ = source_->read_byte();
            bits_left_ = 8;
        }
        --bits_left_;
        ++bit_offset_;
        return (current_ >> bits_left_) & 1;
    }
    // n from 0 to 32, first bit read is the most significant; more than 32 throws code 2 "Too
    // many bits".
    uint32_t read_bits(unsigned n);
    void skip_bits(uint64_t n);
    // Unsigned Exp-Golomb code, ue(v). A prefix of more than 31 zero bits cannot give a 32-bit
    // value and throws code 1 "Bad Exp-Golomb code" (after consuming the zeros).
    uint32_t read_ue();
    // Signed Exp-Golomb code, se(v): 1, -1, 2, -2 ... for code numbers 1, 2, 3, 4 ...
    int32_t read_se();

    // Drops the rest of a partly read byte.
    void align() {
        bit_offset_ += bits_left_;
        bits_left_ = 0;
    }
    bool byte_aligned() const { return bits_left_ == 0; }
    // Bits consumed since construction.
    uint64_t bit_offset() const { return bit_offset_; }
    // True if no bits at all remain.
    bool at_end() const { return bits_left_ == 0 && source_->remaining() == 0; }

  private:
    BlockReader own_{nullptr, 0};
    BlockReader* source_;
    uint32_t current_ = 0;
    unsigned bits_left_ = 0;  // unread low bits of current_
    uint64_t bit_offset_ = 0;
};

}  // namespace Gantry::Channel
