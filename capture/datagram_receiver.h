// Moves datagrams from a UDP socket into a DatagramRing, many per system call (recvmmsg), each
// into its own free slot, in arrival order. Datagrams that find the ring full are still read,
// into a spare buffer, and counted as ring drops, so that the socket keeps draining; datagrams the
// kernel had to drop are counted from SO_RXQ_OVFL.
//
// Used by one receive thread; the counters it writes are read elsewhere.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/capture_counters.h"
#include "capture/datagram_ring.h"

namespace Corvid::Capture {

class DatagramReceiver {
  public:
    static constexpr size_t max_batch = 64;

    // fd is not owned and must stay open while receive() may run.
    DatagramReceiver(int fd, DatagramRing& ring, CaptureCounters& counters);
    ~DatagramReceiver();
    DatagramReceiver(const DatagramReceiver&) = delete;
    DatagramReceiver& operator=(const DatagramReceiver&) = delete;

    // Waits for at least one datagram (up to the socket's receive timeout), then takes what else
    // is already there. Returns the number of datagrams read (queued or dropped), 0 after a
    // timeout, an interruption or a shut-down socket, -1 with errno on any other failure.
    int receive();

  private:
    int fd_;
    DatagramRing& ring_;
    CaptureCounters& counters_;
    std::unique_ptr<uint8_t[]> spare_;
    mmsghdr messages_[max_batch];
    iovec vectors_[max_batch];
    // Room for one SO_RXQ_OVFL count per message.
    alignas(cmsghdr) uint8_t control_[max_batch][CMSG_SPACE(sizeof(uint32_t))];
    // The kernel's drop count is cumulative per socket.
    uint32_t last_drop_count_ = 0;
};

// Enables SO_RXQ_OVFL and sets the receive buffer to bytes (SO_RCVBUFFORCE where the process may
// exceed the system limit, SO_RCVBUF otherwise). Returns the size the kernel granted, or -1.
int configure_receive_socket(int fd, int bytes);

}  // namespace Corvid::Capture
