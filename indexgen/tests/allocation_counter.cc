// The program's operator new, counting (the other forms lead to these). A translation unit of its
// own: inlined, the compiler would take the free() in operator delete for a mismatch.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {
std::atomic<uint64_t> allocations{0};
}  // namespace

uint64_t allocation_count() {
    return allocations.load(std::memory_order_relaxed);
}

void* operator new(size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
