#include "capture/datagram_receiver.h"

#include <errno.h>
#include <sys/socket.h>

#include <cstring>
#include <thread>

namespace Corvid::Capture {

DatagramReceiver::DatagramReceiver(int fd, DatagramRing& ring, CaptureCounters& counters,
                                   std::chrono::milliseconds full_grace)
    : fd_(fd),
      full_grace_(full_grace),
      ring_(ring),
      counters_(counters),
      spare_(new uint8_t[ring.buffer_size()]) {}

DatagramReceiver::~DatagramReceiver() = default;

int DatagramReceiver::receive() {
    const size_t free = ring_.free_slots();
    const bool full = free == 0;
    if (!full) {
        full_since_.reset();
    } else {
        const auto now = std::chrono::steady_clock::now();
        if (!full_since_) full_since_ = now;
        if (now - *full_since_ < full_grace_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return 0;
        }
    }
    const size_t count = full ? 1 : (free < max_batch ? free : max_batch);
    for (size_t i = 0; i < count; i++) {
        vectors_[i].iov_base = full ? spare_.get() : ring_.buffer(i);
        vectors_[i].iov_len = ring_.buffer_size();
        msghdr& header = messages_[i].msg_hdr;
        header = msghdr{};
        header.msg_iov = &vectors_[i];
        header.msg_iovlen = 1;
        header.msg_control = control_[i];
        header.msg_controllen = sizeof control_[i];
    }
    const int got =
        ::recvmmsg(fd_, messages_, static_cast<unsigned>(count), MSG_WAITFORONE, nullptr);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        return -1;
    }
    uint64_t bytes = 0;
    size_t queued = 0;
    for (int i = 0; i < got; i++) {
        msghdr& header = messages_[i].msg_hdr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                uint32_t drops;
                std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
                if (drops != last_drop_count_) {
                    CaptureCounters::add(counters_.kernel_drops, drops - last_drop_count_);
                    last_drop_count_ = drops;
                }
            }
        }
        const size_t length = messages_[i].msg_len;
        // A zero length is an empty datagram, or a socket shut down to stop us.
        if (length == 0) continue;
        if (full) {
            CaptureCounters::add(counters_.ring_drops, 1);
            continue;
        }
        // Empty datagrams were skipped, so slot i may move down to the next unfilled one.
        if (queued != static_cast<size_t>(i))
            std::memmove(ring_.buffer(queued), ring_.buffer(i), length);
        ring_.set_length(queued++, length);
        bytes += length;
    }
    if (queued) {
        ring_.publish(queued);
        CaptureCounters::add(counters_.datagrams, queued);
        CaptureCounters::add(counters_.bytes, bytes);
    }
    return got;
}

int configure_receive_socket(int fd, int bytes) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    if (bytes > 0 && ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    int granted = 0;
    socklen_t size = sizeof granted;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size) != 0) return -1;
    return granted;
}

}  // namespace Corvid::Capture
