// Moves datagrams from a UDP socket into a DatagramRing, many per system call (recvmmsg), each
// into its own free slot, in arrival order. When the ring is full the receiver first leaves the
// datagrams in the socket buffer for up to a grace period, which rides out a consumer that lost its
// processor for a moment; after that it reads them into a spare buffer and counts them as ring
// drops, so that the socket keeps draining, until the ring has room again. Datagrams the kernel
// had to drop are counted from SO_RXQ_OVFL.
//
// Used by one receive thread; the counters it writes are read elsewhere.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "capture/capture_counters.h"
#include "capture/datagram_ring.h"

namespace Corvid::Capture {

class DatagramReceiver {
  public:
    static constexpr size_t max_batch = 64;
    static constexpr std::chrono::milliseconds default_full_grace{100};

    // fd is not owned and must stay open while receive() may run.
    DatagramReceiver(int fd, DatagramRing& ring, CaptureCounters& counters,
                     std::chrono::milliseconds full_grace = default_full_grace);
    ~DatagramReceiver();
    DatagramReceiver(const DatagramReceiver&) = delete;
    DatagramReceiver& operator=(const DatagramReceiver&) = delete;

    // Waits for at least one datagram (up to the socket's receive timeout), then takes what else
    // is already there. Returns the number of datagrams read (queued or dropped), 0 after a
    // timeout, an interruption or a millisecond's wait for room, -1 with errno on any other
    // failure.
    int receive();

  private:
    int fd_;
    const std::chrono::milliseconds full_grace_;
    DatagramRing& ring_;
    CaptureCounters& counters_;
    std::unique_ptr<uint8_t[]> spare_;
    mmsghdr messages_[max_batch];
    iovec vectors_[max_batch];
    // Room for one SO_RXQ_OVFL count per message.
    alignas(cmsghdr) uint8_t control_[max_batch][CMSG_SPACE(sizeof(uint32_t))];
    // The kernel's drop count is cumulative per socket.
    uint32_t last_drop_count_ = 0;
    // When the ring was first seen full, while it stays full.
    std::optional<std::chrono::steady_clock::time_point> full_since_;
};

// Enables SO_RXQ_OVFL and sets the receive buffer to bytes (SO_RCVBUFFORCE where the process may
// exceed the system limit, SO_RCVBUF otherwise). Returns the size the kernel granted, or -1.
int configure_receive_socket(int fd, int bytes);

}  // namespace Corvid::Capture
