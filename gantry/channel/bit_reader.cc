#include "gantry/channel/bit_reader.h"

#include "gantry/channel/error.h"

namespace Gantry::Channel {

uint32_t BitReader::read_bits(unsigned n) {
    if (n > 32) throw Error(Error::system_error, "Too many bits");
    uint64_t value = 0;
    // Take what is left of the current byte, then whole bytes, then the top of the last one.
    while (n > 0) {
        if (bits_left_ == 0) {
            current_ = source_->read_byte();
            bits_left_ = 8;
        }
        unsigned take = n < bits_left_ ? n : bits_left_;
        bits_left_ -= take;
        value = value << take | ((current_ >> bits_left_) & ((1u << take) - 1));
        bit_offset_ += take;
        n -= take;
    }
    return static_cast<uint32_t>(value);
}

void BitReader::skip_bits(uint64_t n) {
    while (n >= 32) {
        read_bits(32);
        n -= 32;
    }
    read_bits(static_cast<unsigned>(n));
}

uint32_t BitReader::read_ue() {
    unsigned zeros = 0;
    while (!read_bit()) {
        if (++zeros > 31) throw Error(Error::data_error, "Bad Exp-Golomb code");
    }
    if (zeros == 0) return 0;
    // 2^zeros - 1 + the next zeros bits; at most 2^32 - 2 for 31 zeros.
    return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + read_bits(zeros));
}

int32_t BitReader::read_se() {
    uint32_t k = read_ue();
    if (k & 1) return static_cast<int32_t>((k >> 1) + 1);
    return -static_cast<int32_t>(k >> 1);
}

}  // namespace Gantry::Channel
