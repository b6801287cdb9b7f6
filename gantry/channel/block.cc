#include "gantry/channel/block.h"

#include "gantry/channel/error.h"

namespace Gantry::Channel {

size_t BlockReader::basic_read(void* buffer, size_t count) {
    size_t n = count < remaining() ? count : remaining();
    if (buffer && n) std::memcpy(buffer, current(), n);
    offset_ += n;
    return n;
}

void BlockReader::skip(uint64_t count) {
    if (count > remaining()) throw Error(Error::data_error, "Skip beyond end of block");
    offset_ += count;
}

void BlockReader::rewind(uint64_t count) {
    if (count > offset_) throw Error(Error::data_error, "Rewound too far");
    offset_ -= count;
}

void BlockReader::read_short(void* buffer, size_t) {
    size_t n = remaining();
    if (buffer && n) std::memcpy(buffer, current(), n);
    offset_ += n;
    throw Error(Error::end_of_data, "EOF");
}

void BlockWriter::basic_write(const void* buffer, size_t count) {
    write(buffer, count);
}

void BlockWriter::skip(uint64_t count) {
    if (count > remaining()) throw Error(Error::data_error, "Data block overflowed in skip");
    offset_ += count;
}

void BlockWriter::rewind(uint64_t count) {
    if (count > offset_) throw Error(Error::data_error, "Rewound too far");
    offset_ -= count;
}

void BlockWriter::overflow() {
    throw Error(Error::data_error, "Data block overflowed");
}

}  // namespace Gantry::Channel
