// The descriptor-owning base of every socket, with the options common to UDP and TCP.
//
// Thread safety: a socket is used by one thread at a time, except that another thread may call
// shutdown_both() (which wakes a thread blocked in read, recv or accept) and then close().
#pragma once

#include <atomic>
#include <cstdint>

#include "gantry/net/address.h"

namespace Gantry::Net {

class Socket {
  public:
    Socket() = default;
    // Takes ownership of an open descriptor (or -1).
    explicit Socket(int fd) : fd_(fd) {}
    virtual ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const { return fd_.load(std::memory_order_relaxed); }
    bool valid() const { return fd() != -1; }
    // Closing an already closed socket does nothing.
    void close();
    // Gives up ownership of the descriptor without closing it.
    int release() { return fd_.exchange(-1); }

    // The option setters return false when the system call fails.
    bool go_nonblocking();
    bool go_blocking();
    // SO_RCVTIMEO and SO_SNDTIMEO both; 0 means wait for ever.
    bool set_timeout(int seconds, int microseconds = 0);
    bool enable_reuse();
    bool enable_keepalive();
    bool enable_broadcast();
    bool set_tos(int value);
    bool set_priority(int value);
    bool set_multicast_ttl(int value);
    bool set_ttl(int value);

    // select() on this descriptor for whole seconds; true when it is ready.
    bool wait_readable(int timeout_seconds);
    bool wait_writable(int timeout_seconds);

    // Invalid address and port 0 when the system cannot say.
    EndPoint local_end_point() const;
    EndPoint remote_end_point() const;

    bool bind(IPAddress address, uint16_t port);
    bool bind(uint16_t port) { return bind(IPAddress(IPAddress::ANY), port); }

    void shutdown_write();
    void shutdown_both();

  protected:
    bool set_int_option(int level, int name, int value);
    void adopt(int fd) { fd_.store(fd, std::memory_order_relaxed); }

  private:
    bool wait_ready(int timeout_seconds, bool for_write);

    std::atomic<int> fd_{-1};
};

}  // namespace Gantry::Net
