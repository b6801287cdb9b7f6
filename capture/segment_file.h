// One open segment file, written through a buffer of its own so that a datagram costs a copy
// rather than a system call.
//
// Used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Corvid::Capture {

class SegmentFile {
  public:
    static constexpr size_t buffer_size = 256 * 1024;

    SegmentFile() = default;
    ~SegmentFile();
    SegmentFile(const SegmentFile&) = delete;
    SegmentFile& operator=(const SegmentFile&) = delete;

    // Truncates, or with append keeps what is there. False with errno when it cannot be opened.
    bool open(const std::string& path, bool append);
    bool is_open() const { return fd_ >= 0; }
    // Bytes in the file when it was opened (0 unless appending).
    uint64_t start_offset() const { return start_offset_; }
    // Bytes that have reached the file since it was opened.
    uint64_t flushed() const { return flushed_; }
    // False with errno once anything fails to reach the file; the file is then useless.
    bool write(const void* data, size_t length);
    // Hands what is buffered to the system, so that a killed process loses none of it; false with
    // errno when that fails (the file is then useless).
    bool flush();
    // Writes what is buffered; false with errno when that fails. The file is closed either way.
    bool close();

  private:
    int fd_ = -1;
    uint64_t start_offset_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t used_ = 0;
    uint64_t flushed_ = 0;
};

}  // namespace Corvid::Capture
