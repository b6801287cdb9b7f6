// Readers and writers over a memory block: the hot path of packet and section parsing.
//
// Both classes are final, and the small fixed-size operations below are redeclared inline and
// non-virtual: called on a BlockReader/BlockWriter (not through a Reader&/Writer&) they compile to
// a bounds check and a load or store. Their results, errors and offsets are exactly those of the
// generic operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "gantry/channel/reader.h"
#include "gantry/channel/writer.h"

namespace Gantry::Channel {

// Reads from a block it does not own; the block must outlive the reader. offset() is the position
// in the block. Never reads outside the block: reading past the end obtains fewer bytes (and the
// integer reads throw code 0 "EOF" after consuming what was there).
class BlockReader final : public Reader {
  public:
    BlockReader(const void* data, size_t length)
        : data_(static_cast<const uint8_t*>(data)), length_(length) {}

    size_t basic_read(void* buffer, size_t count) override;
    // Throws code 1 "Skip beyond end of block" (and stays put) if fewer than count bytes remain.
    void skip(uint64_t count) override;
    bool rewindable() const override { return true; }
    // Throws code 1 "Rewound too far" (and stays put) if count exceeds the offset.
    void rewind(uint64_t count) override;

    const uint8_t* data() const { return data_; }
    size_t length() const { return length_; }
    size_t remaining() const { return length_ - static_cast<size_t>(offset_); }
    // The next byte to be read (one past the last when at the end).
    const uint8_t* current() const { return data_ + offset_; }

    using Reader::read;
    void read(void* buffer, size_t count) {
        if (count <= remaining()) {
            if (buffer && count) std::memcpy(buffer, current(), count);
            offset_ += count;
        } else {
            read_short(buffer, count);
        }
    }
    uint8_t read_byte() {
        if (offset_ < length_) return data_[offset_++];
        read_short(nullptr, 1);
    }
    uint16_t read_nbo_16() {
        if (remaining() < 2) read_short(nullptr, 2);
        const uint8_t* p = current();
        offset_ += 2;
        return static_cast<uint16_t>(p[0] << 8 | p[1]);
    }
    uint32_t read_nbo_24() {
        if (remaining() < 3) read_short(nullptr, 3);
        const uint8_t* p = current();
        offset_ += 3;
        return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
    }
    uint32_t read_nbo_32() {
        if (remaining() < 4) read_short(nullptr, 4);
        const uint8_t* p = current();
        offset_ += 4;
        return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    }

  private:
    // Consumes what is left and throws code 0 "EOF".
    [[noreturn]] void read_short(void* buffer, size_t count);

    const uint8_t* data_;
    size_t length_;
};

// Writes into a buffer it does not own; the buffer must outlive the writer. offset() is the
// position in the buffer. A write is all or nothing: one that does not fit throws code 1 "Data
// block overflowed" without copying anything or moving the offset.
class BlockWriter final : public Writer {
  public:
    BlockWriter(void* buffer, size_t capacity)
        : data_(static_cast<uint8_t*>(buffer)), capacity_(capacity) {}

    void basic_write(const void* buffer, size_t count) override;
    // Moves forward without touching the skipped bytes; throws code 1 "Data block overflowed in
    // skip" if they do not fit.
    void skip(uint64_t count) override;
    bool rewindable() const override { return true; }
    // Throws code 1 "Rewound too far" if count exceeds the offset.
    void rewind(uint64_t count) override;

    uint8_t* data() const { return data_; }
    size_t capacity() const { return capacity_; }
    size_t remaining() const { return capacity_ - static_cast<size_t>(offset_); }

    using Writer::write;
    void write(const void* buffer, size_t count) {
        if (count > remaining()) overflow();
        if (count) std::memcpy(data_ + offset_, buffer, count);
        offset_ += count;
    }
    void write_byte(uint8_t value) {
        if (remaining() < 1) overflow();
        data_[offset_++] = value;
    }
    void write_nbo_16(uint16_t value) {
        if (remaining() < 2) overflow();
        uint8_t* p = data_ + offset_;
        p[0] = static_cast<uint8_t>(value >> 8);
        p[1] = static_cast<uint8_t>(value);
        offset_ += 2;
    }
    void write_nbo_32(uint32_t value) {
        if (remaining() < 4) overflow();
        uint8_t* p = data_ + offset_;
        p[0] = static_cast<uint8_t>(value >> 24);
        p[1] = static_cast<uint8_t>(value >> 16);
        p[2] = static_cast<uint8_t>(value >> 8);
        p[3] = static_cast<uint8_t>(value);
        offset_ += 4;
    }

  private:
    [[noreturn]] static void overflow();

    uint8_t* data_;
    size_t capacity_;
};

}  // namespace Gantry::Channel
