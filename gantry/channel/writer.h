// The writing half of the binary channels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Gantry::Channel {

// Abstract writer. offset() counts the bytes written so far (moved back by rewind()).
// A writer is used by one thread at a time.
class Writer {
  public:
    virtual ~Writer();

    // Writes all count bytes and adds count to offset_, or throws Error.
    virtual void basic_write(const void* buffer, size_t count) = 0;
    // Default: writes count zero bytes.
    virtual void skip(uint64_t count);
    virtual bool rewindable() const;
    // Moves back count bytes so that the next write overwrites them (for patching a length
    // written earlier). Default: throws code 2 "Can't rewind".
    virtual void rewind(uint64_t count);

    uint64_t offset() const { return offset_; }

    void write(const void* buffer, size_t count) { basic_write(buffer, count); }
    void write(const std::string& text) { basic_write(text.data(), text.size()); }
    void write(const char* text);  // without its NUL

    void write_byte(uint8_t value);
    void write_nbo_16(uint16_t value);
    void write_nbo_24(uint32_t value);  // low 24 bits
    void write_nbo_32(uint32_t value);
    void write_nbo_64(uint64_t value);  // high word first
    void write_nbo_double(double value);
    void write_le_16(uint16_t value);
    void write_le_24(uint32_t value);
    void write_le_32(uint32_t value);
    void write_le_64(uint64_t value);  // low word first
    void write_le_double(double value);

    // Pads (through skip) to the next offset that is a multiple of n; nothing if n is 0.
    void align(uint64_t n);

  protected:
    Writer() = default;
    Writer(const Writer&) = default;
    Writer& operator=(const Writer&) = default;

    uint64_t offset_ = 0;
};

}  // namespace Gantry::Channel
