#include "gantry/channel/writer.h"

#include <bit>
#include <cstring>

#include "gantry/channel/error.h"

namespace Gantry::Channel {

namespace {

constexpr size_t zero_block_size = 256;
const uint8_t zero_block[zero_block_size] = {};

void put_nbo(uint8_t* b, uint64_t value, int n) {
    for (int i = n - 1; i >= 0; --i, value >>= 8)
        b[i] = static_cast<uint8_t>(value);
}

void put_le(uint8_t* b, uint64_t value, int n) {
    for (int i = 0; i < n; ++i, value >>= 8)
        b[i] = static_cast<uint8_t>(value);
}

}  // namespace

Writer::~Writer() = default;

void Writer::skip(uint64_t count) {
    while (count > 0) {
        size_t part = count < zero_block_size ? static_cast<size_t>(count) : zero_block_size;
        basic_write(zero_block, part);
        count -= part;
    }
}

bool Writer::rewindable() const {
    return false;
}

void Writer::rewind(uint64_t) {
    throw Error(Error::system_error, "Can't rewind");
}

void Writer::write(const char* text) {
    basic_write(text, std::strlen(text));
}

void Writer::write_byte(uint8_t value) {
    basic_write(&value, 1);
}

void Writer::write_nbo_16(uint16_t value) {
    uint8_t b[2];
    put_nbo(b, value, 2);
    basic_write(b, 2);
}

void Writer::write_nbo_24(uint32_t value) {
    uint8_t b[3];
    put_nbo(b, value, 3);
    basic_write(b, 3);
}

void Writer::write_nbo_32(uint32_t value) {
    uint8_t b[4];
    put_nbo(b, value, 4);
    basic_write(b, 4);
}

void Writer::write_nbo_64(uint64_t value) {
    uint8_t b[8];
    put_nbo(b, value, 8);
    basic_write(b, 8);
}

void Writer::write_nbo_double(double value) {
    write_nbo_64(std::bit_cast<uint64_t>(value));
}

void Writer::write_le_16(uint16_t value) {
    uint8_t b[2];
    put_le(b, value, 2);
    basic_write(b, 2);
}

void Writer::write_le_24(uint32_t value) {
    uint8_t b[3];
    put_le(b, value, 3);
    basic_write(b, 3);
}

void Writer::write_le_32(uint32_t value) {
    uint8_t b[4];
    put_le(b, value, 4);
    basic_write(b, 4);
}

void Writer::write_le_64(uint64_t value) {
    uint8_t b[8];
    put_le(b, value, 8);
    basic_write(b, 8);
}

void Writer::write_le_double(double value) {
    write_le_64(std::bit_cast<uint64_t>(value));
}

void Writer::align(uint64_t n) {
    if (n == 0) return;
    uint64_t over = offset_ % n;
    if (over != 0) skip(n - over);
}

}  // namespace Gantry::Channel
