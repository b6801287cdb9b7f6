// A connected TCP socket (a client's, or one a server accepted).
//
// Raw operations return the system result (-1 with errno set on failure) and are retried on
// EINTR; cooked ones throw SocketError, whose errno is 0 for a premature end of file. Writes never
// raise SIGPIPE. The raw read and write are virtual so that a TLS layer can stand in for them;
// everything else goes through them.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gantry/net/socket.h"

namespace Gantry::Net {

class TCPSocket : public Socket {
  public:
    // A fresh, unconnected stream socket.
    TCPSocket();
    // Takes ownership of a connected descriptor (or -1).
    explicit TCPSocket(int fd) : Socket(fd) {}
    ~TCPSocket() override = default;

    // read(); -1 on a closed socket.
    virtual ssize_t raw_read(void* buffer, size_t count);
    // send() with MSG_NOSIGNAL; may write fewer bytes than asked.
    virtual ssize_t raw_write(const void* buffer, size_t count);

    // Returns the count read, 0 at end of file.
    size_t read(void* buffer, size_t count);
    // Repeats reads until count bytes arrived; false if end of file came first.
    bool read_exact(void* buffer, size_t count);
    // Reads once, up to 1024 bytes, and appends them; false at end of file.
    bool read_to_string(std::string& text);
    // Appends everything up to end of file.
    void read_all(std::string& text);

    // Writes every byte, continuing after a partial write (a signal or a send timeout can cut
    // one short); throws when the system refuses or a send times out.
    void write(const void* buffer, size_t count);
    void write(const std::string& text) { write(text.data(), text.size()); }

    void write_nbo_32(uint32_t value);
    uint32_t read_nbo_32();

    ssize_t raw_send(const void* buffer, size_t count, int flags);
    size_t send(const void* buffer, size_t count, int flags);
    ssize_t raw_recv(void* buffer, size_t count, int flags);
    size_t recv(void* buffer, size_t count, int flags);
    ssize_t raw_sendmsg(const std::vector<iovec>& buffers, int flags);
    size_t sendmsg(const std::vector<iovec>& buffers, int flags);
};

}  // namespace Gantry::Net
