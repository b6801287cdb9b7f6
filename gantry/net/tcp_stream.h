// A standard iostream over a TCP socket, with separate input and output buffers.
//
// Failures do not throw: the stream's state goes bad and error() on the buffer gives the errno
// (0 for end of file, ETIMEDOUT for a missed read deadline). The stream does not own the socket,
// which must outlive it. Used by one thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <istream>
#include <streambuf>
#include <vector>

#include "gantry/net/tcp_socket.h"

namespace Gantry::Net {

class TCPStreamBuf : public std::streambuf {
  public:
    using Clock = std::chrono::steady_clock;

    explicit TCPStreamBuf(TCPSocket& socket, size_t input_size = 1024, size_t output_size = 1024);
    // Flushes what is still buffered, ignoring failures.
    ~TCPStreamBuf() override;

    TCPSocket& socket() { return socket_; }
    // Bytes read from the socket but not yet taken by the reader.
    size_t buffered() const { return static_cast<size_t>(egptr() - gptr()); }
    int error() const { return error_; }

    // Reads that would wait past the deadline fail with ETIMEDOUT instead: this bounds the time a
    // slow client can take over a whole message, which the per-call socket timeout cannot.
    void set_read_deadline(Clock::time_point deadline) { deadline_ = deadline; }
    void clear_read_deadline() { deadline_ = Clock::time_point::max(); }

  protected:
    int_type underflow() override;
    int_type overflow(int_type c) override;
    int sync() override;
    std::streamsize xsgetn(char* destination, std::streamsize count) override;
    std::streamsize xsputn(const char* source, std::streamsize count) override;

  private:
    // Waits for input until the deadline; false (with error_ set) when it passes.
    bool wait_for_input();
    // One raw read into destination; the count, or 0 with error_ set.
    size_t fill(char* destination, size_t count);
    bool flush_output();
    bool write_out(const char* data, size_t count);

    TCPSocket& socket_;
    std::vector<char> input_;
    std::vector<char> output_;
    int error_ = 0;
    Clock::time_point deadline_ = Clock::time_point::max();
};

class TCPStream : public std::iostream {
  public:
    explicit TCPStream(TCPSocket& socket, size_t input_size = 1024, size_t output_size = 1024);
    ~TCPStream() override = default;

    TCPStreamBuf& buffer() { return buffer_; }

  private:
    TCPStreamBuf buffer_;
};

}  // namespace Gantry::Net
