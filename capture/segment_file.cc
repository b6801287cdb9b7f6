#include "capture/segment_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace Corvid::Capture {

SegmentFile::~SegmentFile() {
    close();
}

bool SegmentFile::open(const std::string& path, bool append) {
    close();
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    fd_ = ::open(path.c_str(), flags, 0666);
    if (fd_ < 0) return false;
    const off_t end = append ? ::lseek(fd_, 0, SEEK_END) : 0;
    start_offset_ = end > 0 ? static_cast<uint64_t>(end) : 0;
    if (!buffer_) buffer_.reset(new uint8_t[buffer_size]);
    used_ = 0;
    flushed_ = 0;
    return true;
}

bool SegmentFile::write(const void* data, size_t length) {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    if (used_ + length > buffer_size && !flush()) return false;
    if (length >= buffer_size) {
        // Too big to buffer: straight through.
        used_ = 0;
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        while (length > 0) {
            const ssize_t done = ::write(fd_, bytes, length);
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) return false;
            bytes += done;
            length -= static_cast<size_t>(done);
            flushed_ += static_cast<size_t>(done);
        }
        return true;
    }
    std::memcpy(buffer_.get() + used_, data, length);
    used_ += length;
    return true;
}

bool SegmentFile::flush() {
    size_t at = 0;
    while (at < used_) {
        const ssize_t done = ::write(fd_, buffer_.get() + at, used_ - at);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            if (done == 0) errno = ENOSPC;
            used_ = 0;
            return false;
        }
        at += static_cast<size_t>(done);
        flushed_ += static_cast<size_t>(done);
    }
    used_ = 0;
    return true;
}

bool SegmentFile::close() {
    if (fd_ < 0) return true;
    bool ok = flush();
    const int error = errno;
    if (::close(fd_) != 0 && ok)
        ok = false;
    else
        errno = error;
    fd_ = -1;
    return ok;
}

}  // namespace Corvid::Capture
