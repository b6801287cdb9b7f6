#include "gantry/channel/fd.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "gantry/channel/error.h"

namespace Gantry::Channel {

namespace {

[[noreturn]] void system_failed(int error) {
    throw Error(Error::system_error, std::strerror(error));
}

constexpr size_t skip_buffer_size = 4096;

}  // namespace

size_t FDReader::basic_read(void* buffer, size_t count) {
    uint8_t skip_buffer[skip_buffer_size];
    size_t done = 0;
    while (done < count) {
        void* target = buffer ? static_cast<uint8_t*>(buffer) + done : skip_buffer;
        size_t want = count - done;
        if (!buffer && want > skip_buffer_size) want = skip_buffer_size;
        ssize_t got = ::read(fd_, target, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            system_failed(errno);
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
        offset_ += static_cast<uint64_t>(got);
    }
    return done;
}

void FDWriter::basic_write(const void* buffer, size_t count) {
    const auto* p = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t put = ::write(fd_, p + done, count - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            system_failed(errno);
        }
        done += static_cast<size_t>(put);
        offset_ += static_cast<uint64_t>(put);
    }
}

}  // namespace Gantry::Channel
