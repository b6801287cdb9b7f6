// Readers and writers over POSIX file descriptors.
#pragma once

#include "gantry/channel/reader.h"
#include "gantry/channel/writer.h"

namespace Gantry::Channel {

// Reads from a descriptor it does not own (and never closes). read() returning 0 is end of data;
// an error throws code 2 with strerror(errno); EINTR is retried. Not rewindable.
class FDReader final : public Reader {
  public:
    explicit FDReader(int fd) : fd_(fd) {}

    size_t basic_read(void* buffer, size_t count) override;

    int fd() const { return fd_; }

  private:
    int fd_;
};

// Writes to a descriptor it does not own; short writes are continued, EINTR is retried, an error
// throws code 2 with strerror(errno). Not rewindable.
class FDWriter final : public Writer {
  public:
    explicit FDWriter(int fd) : fd_(fd) {}

    void basic_write(const void* buffer, size_t count) override;

    int fd() const { return fd_; }

  private:
    int fd_;
};

}  // namespace Gantry::Channel
