#include "gantry/channel/reader.h"

#include <bit>

#include "gantry/channel/error.h"

namespace Gantry::Channel {

namespace {

constexpr size_t string_chunk = 1024;

uint32_t nbo(const uint8_t* b, int n) {
    uint32_t value = 0;
    for (int i = 0; i < n; ++i)
        value = value << 8 | b[i];
    return value;
}

uint32_t le(const uint8_t* b, int n) {
    uint32_t value = 0;
    for (int i = n - 1; i >= 0; --i)
        value = value << 8 | b[i];
    return value;
}

}  // namespace

Reader::~Reader() = default;

void Reader::skip(uint64_t count) {
    // read() takes a size_t; split so that a 64-bit count is honoured on any platform.
    while (count > 0) {
        size_t part = count > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(count);
        read(nullptr, part);
        count -= part;
    }
}

bool Reader::rewindable() const {
    return false;
}

void Reader::rewind(uint64_t) {
    throw Error(Error::system_error, "Can't rewind");
}

bool Reader::try_read(void* buffer, size_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        size_t got = basic_read(out ? out + done : nullptr, count - done);
        if (got == 0) {
            if (done == 0) return false;
            throw Error(Error::end_of_data, "EOF");
        }
        done += got;
    }
    return true;
}

void Reader::read(void* buffer, size_t count) {
    if (count == 0) return;
    if (!try_read(buffer, count)) throw Error(Error::end_of_data, "EOF");
}

void Reader::read(std::string& out, size_t count) {
    while (count > 0) {
        size_t want = count < string_chunk ? count : string_chunk;
        size_t start = out.size();
        out.resize(start + want);
        size_t done = 0;
        while (done < want) {
            size_t got = basic_read(out.data() + start + done, want - done);
            if (got == 0) {
                out.resize(start + done);
                throw Error(Error::end_of_data, "EOF in string");
            }
            done += got;
        }
        count -= want;
    }
}

uint8_t Reader::read_byte() {
    uint8_t b;
    read(&b, 1);
    return b;
}

uint16_t Reader::read_nbo_16() {
    uint8_t b[2];
    read(b, 2);
    return static_cast<uint16_t>(nbo(b, 2));
}

uint32_t Reader::read_nbo_24() {
    uint8_t b[3];
    read(b, 3);
    return nbo(b, 3);
}

uint32_t Reader::read_nbo_32() {
    uint8_t b[4];
    read(b, 4);
    return nbo(b, 4);
}

uint64_t Reader::read_nbo_64() {
    uint8_t b[8];
    read(b, 8);
    return uint64_t{nbo(b, 4)} << 32 | nbo(b + 4, 4);
}

double Reader::read_nbo_double() {
    return std::bit_cast<double>(read_nbo_64());
}

uint16_t Reader::read_le_16() {
    uint8_t b[2];
    read(b, 2);
    return static_cast<uint16_t>(le(b, 2));
}

uint32_t Reader::read_le_24() {
    uint8_t b[3];
    read(b, 3);
    return le(b, 3);
}

uint32_t Reader::read_le_32() {
    uint8_t b[4];
    read(b, 4);
    return le(b, 4);
}

uint64_t Reader::read_le_64() {
    uint8_t b[8];
    read(b, 8);
    return uint64_t{le(b + 4, 4)} << 32 | le(b, 4);
}

double Reader::read_le_double() {
    return std::bit_cast<double>(read_le_64());
}

bool Reader::try_read_nbo_32(uint32_t& value) {
    uint8_t b[4];
    if (!try_read(b, 4)) return false;
    value = nbo(b, 4);
    return true;
}

bool Reader::try_read_le_32(uint32_t& value) {
    uint8_t b[4];
    if (!try_read(b, 4)) return false;
    value = le(b, 4);
    return true;
}

void Reader::align(uint64_t n) {
    if (n == 0) return;
    uint64_t over = offset_ % n;
    if (over != 0) skip(n - over);
}

}  // namespace Gantry::Channel
