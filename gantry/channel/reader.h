// The reading half of the binary channels: one interface over memory blocks, standard streams and
// file descriptors, with big- and little-endian integers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Gantry::Channel {

// Abstract reader. Every operation advances offset() by the bytes it consumed, also when it throws
// (an Error thrown by read_nbo_32 after 3 of 4 bytes leaves the offset 3 further on).
//
// A reader is used by one thread at a time.
class Reader {
  public:
    virtual ~Reader();

    // Reads up to count bytes into buffer (or skips them when buffer is null) and adds the count
    // obtained to offset_. Returns fewer than count only at end of data. Implementations throw
    // Error for anything other than end of data.
    virtual size_t basic_read(void* buffer, size_t count) = 0;
    // Default: reads count bytes into nowhere through read(); end of data throws code 0 "EOF".
    virtual void skip(uint64_t count);
    virtual bool rewindable() const;
    // Moves back count bytes. Default: throws code 2 "Can't rewind".
    virtual void rewind(uint64_t count);

    // Bytes consumed so far.
    uint64_t offset() const { return offset_; }

    // False if the data ends before the first byte; throws code 0 "EOF" if it ends after some.
    bool try_read(void* buffer, size_t count);
    // Throws code 0 "EOF" unless all count bytes arrive. A null buffer skips.
    void read(void* buffer, size_t count);
    // Appends count bytes to out, read in chunks of at most 1024; the bytes that did arrive are
    // kept when the data ends first, which throws code 0 "EOF in string".
    void read(std::string& out, size_t count);

    uint8_t read_byte();
    uint16_t read_nbo_16();
    uint32_t read_nbo_24();
    uint32_t read_nbo_32();
    uint64_t read_nbo_64();    // high word first
    double read_nbo_double();  // IEEE 754 bits, big-endian
    uint16_t read_le_16();
    uint32_t read_le_24();
    uint32_t read_le_32();
    uint64_t read_le_64();  // low word first
    double read_le_double();

    // False (value untouched) at a clean end of data; EOF inside the word throws code 0.
    bool try_read_nbo_32(uint32_t& value);
    bool try_read_le_32(uint32_t& value);

    // Skips to the next offset that is a multiple of n (nothing if already there, or n is 0).
    void align(uint64_t n);

  protected:
    Reader() = default;
    Reader(const Reader&) = default;
    Reader& operator=(const Reader&) = default;

    uint64_t offset_ = 0;
};

}  // namespace Gantry::Channel
