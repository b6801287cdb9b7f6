#include "capture/datagram_ring.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>

namespace Corvid::Capture {

DatagramRing::DatagramRing(size_t slots, size_t buffer_size)
    : slots_(slots == 0 ? 1 : slots), buffer_size_(buffer_size), lengths_(new size_t[slots_]) {
    // MAP_NORESERVE: the buffers are address space until a datagram lands in them.
    void* memory = ::mmap(nullptr, slots_ * buffer_size_, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    buffers_ = static_cast<uint8_t*>(memory);
}

DatagramRing::~DatagramRing() {
    ::munmap(buffers_, slots_ * buffer_size_);
}

void DatagramRing::wait(std::chrono::nanoseconds timeout, bool sleep) {
    Gantry::MT::Lock lock(wait_mutex_);
    if (interrupted_) return;
    if (!sleep) {
        woken_.wait_for(wait_mutex_, timeout);
        return;
    }
    // The producer signals under the mutex, so once the flag is up it cannot wake us before we
    // wait.
    sleeping_.store(true, std::memory_order_seq_cst);
    if (published_.load(std::memory_order_seq_cst) == taken_) woken_.wait_for(wait_mutex_, timeout);
    sleeping_.store(false, std::memory_order_relaxed);
}

void DatagramRing::interrupt() {
    Gantry::MT::Lock lock(wait_mutex_);
    interrupted_ = true;
    woken_.signal();
}

void DatagramRing::wake_sleeper() {
    Gantry::MT::Lock lock(wait_mutex_);
    woken_.signal();
}

void RingPacer::pause(std::chrono::nanoseconds longest) {
    const auto now = std::chrono::steady_clock::now();
    empty_pauses_ = taken_ > 0 ? 0 : std::min(empty_pauses_ + 1, quiet_pauses);
    if (empty_pauses_ == quiet_pauses) {
        ring_.wait(longest, true);
    } else {
        std::chrono::duration<double> pause = max_pause;
        if (taken_ > 0)
            pause = std::min<std::chrono::duration<double>>(
                max_pause, (now - paused_at_) * (ring_.slots() / 8.0 / taken_));
        ring_.wait(std::max<std::chrono::nanoseconds>(
                       min_pause, std::chrono::duration_cast<std::chrono::nanoseconds>(pause)),
                   false);
    }
    paused_at_ = now;
    taken_ = 0;
}

}  // namespace Corvid::Capture
