// A lock-free single-producer, single-consumer queue of received datagrams, each in a fixed buffer
// of its own. Shared by the channel captures and the EPG captures.
//
// Every queue slot owns one buffer, so a producer fills a slot's buffer in place and nothing it
// receives can land in a buffer that is still queued or being read: at most `slots` datagrams
// wait, and a datagram that finds the queue full is the producer's to drop (and count).
//
// The buffers are one anonymous mapping that the ring never writes to: a page costs memory only
// once a datagram has landed in it, so an idle capture with its 64 MB of buffers stays small.
//
// A consumer that finds the queue empty pauses in wait(); only a wait that announced itself as a
// sleep costs the producer a wake-up, so a busy stream is taken in batches without one and an idle
// consumer sleeps until data comes.
//
// Thread safety: one producer thread calls free_slots(), buffer() and publish(); one consumer
// thread calls available(), front(), release() and wait(); interrupt() from any thread. The
// producer publishes with release ordering after filling the buffers; the consumer reads the
// published position with acquire ordering, and the same holds for the buffers the consumer hands
// back.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "gantry/mt/condition.h"
#include "gantry/mt/mutex.h"

namespace Corvid::Capture {

class DatagramRing {
  public:
    static constexpr size_t default_slots = 1000;
    static constexpr size_t default_buffer_size = 65536;

    struct Datagram {
        const uint8_t* data;
        size_t length;
    };

    // Throws std::bad_alloc when the mapping cannot be made.
    explicit DatagramRing(size_t slots = default_slots, size_t buffer_size = default_buffer_size);
    ~DatagramRing();
    DatagramRing(const DatagramRing&) = delete;
    DatagramRing& operator=(const DatagramRing&) = delete;

    size_t slots() const { return slots_; }
    size_t buffer_size() const { return buffer_size_; }

    // Producer: how many slots can be filled now.
    size_t free_slots() const {
        return slots_ - static_cast<size_t>(put_ - take_.load(std::memory_order_acquire));
    }
    // Producer: the buffer of the n-th free slot (n < free_slots()).
    uint8_t* buffer(size_t n) { return buffer_at(put_ + n); }
    // Producer: sets the length of the n-th free slot; publish() makes it visible.
    void set_length(size_t n, size_t length) { lengths_[(put_ + n) % slots_] = length; }
    // Producer: queues the first count free slots, in order.
    void publish(size_t count) {
        put_ += count;
        // Sequentially consistent with the sleeper's flag and its look at the queue: either it
        // sees this position, or this sees it asleep.
        published_.store(put_, std::memory_order_seq_cst);
        if (sleeping_.load(std::memory_order_seq_cst) && sleeping_.exchange(false)) wake_sleeper();
    }

    // Consumer: how many datagrams wait.
    size_t available() const {
        return static_cast<size_t>(published_.load(std::memory_order_acquire) - taken_);
    }
    // Consumer: the oldest waiting datagram (available() > 0).
    Datagram front() const { return Datagram{buffer_at(taken_), lengths_[taken_ % slots_]}; }
    // Consumer: hands the oldest datagram's buffer back, once it is no longer read.
    void release() {
        ++taken_;
        take_.store(taken_, std::memory_order_release);
    }
    // Consumer: waits up to timeout, or until interrupt(); with sleep, also until a datagram is
    // published (returning at once if one waits already).
    void wait(std::chrono::nanoseconds timeout, bool sleep);

    // Ends the current wait and makes every later one return at once: for stopping the consumer.
    void interrupt();

  private:
    void wake_sleeper();
    uint8_t* buffer_at(uint64_t position) const {
        return buffers_ + (position % slots_) * buffer_size_;
    }

    const size_t slots_;
    const size_t buffer_size_;
    uint8_t* buffers_;
    std::unique_ptr<size_t[]> lengths_;

    // Producer side, then consumer side, each on its own cache line.
    alignas(64) uint64_t put_ = 0;
    std::atomic<uint64_t> published_{0};
    alignas(64) uint64_t taken_ = 0;
    std::atomic<uint64_t> take_{0};
    std::atomic<bool> sleeping_{false};

    Gantry::MT::Mutex wait_mutex_;
    Gantry::MT::Condition woken_;
    bool interrupted_ GANTRY_GUARDED_BY(wait_mutex_) = false;
};

// How a ring's consumer pauses while the ring is empty. While data flows, for about as long as an
// eighth of the ring takes to fill at the rate data came in since the previous pause (short for a
// fast stream, max_pause for a slow one); once the ring has stayed empty for quiet_pauses pauses in
// a row, it sleeps until data comes, or until the consumer's bookkeeping is due.
class RingPacer {
  public:
    static constexpr std::chrono::microseconds min_pause{500};
    static constexpr std::chrono::milliseconds max_pause{10};
    static constexpr int quiet_pauses = 5;
    // How long a sleep may last: a consumer that keeps time while idle, and one with nothing to
    // do until data comes (a safety net: a stop interrupts the sleep).
    static constexpr std::chrono::milliseconds idle_wait{200};
    static constexpr std::chrono::seconds unfed_wait{60};

    explicit RingPacer(DatagramRing& ring) : ring_(ring) {}

    // The consumer took count datagrams.
    void took(size_t count) { taken_ += count; }
    // The ring is empty: pauses as above, sleeping up to longest (less if interrupted).
    void pause(std::chrono::nanoseconds longest);

  private:
    DatagramRing& ring_;
    std::chrono::steady_clock::time_point paused_at_ = std::chrono::steady_clock::now();
    size_t taken_ = 0;
    int empty_pauses_ = 0;
};

}  // namespace Corvid::Capture
