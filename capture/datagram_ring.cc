#include "capture/datagram_ring.h"

#include <sys/mman.h>

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

}  // namespace Corvid::Capture
