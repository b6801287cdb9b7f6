// What a capture has received, lost and written, readable by the service at any time.
//
// Each counter has one writer: the receive thread counts datagrams, bytes and both kinds of
// drops; the capture thread counts RTP losses, continuity errors, files and write errors. Readers
// may see a batch half counted, never a torn value.
#pragma once

#include <atomic>
#include <cstdint>

namespace Corvid::Capture {

struct CaptureCounters {
    std::atomic<uint64_t> datagrams{0};       // queued for the capture thread
    std::atomic<uint64_t> bytes{0};           // in those datagrams
    std::atomic<uint64_t> ring_drops{0};      // received while the queue was full
    std::atomic<uint64_t> kernel_drops{0};    // lost in the socket buffer (SO_RXQ_OVFL)
    std::atomic<uint64_t> rtp_lost{0};        // missing from the RTP sequence (late ones fill in)
    std::atomic<uint64_t> rtp_late{0};        // arrived after a higher sequence number
    std::atomic<uint64_t> rtp_duplicates{0};  // seen before, not written again
    std::atomic<uint64_t> rtp_rejected{0};    // not RTP where the source says it is
    std::atomic<uint64_t> cc_errors{0};       // continuity counter gaps in the stream
    std::atomic<uint64_t> files_opened{0};
    std::atomic<uint64_t> write_errors{0};  // failed opens and writes of segment files
    // Capture thread: when it last took datagrams off the queue (Unix seconds; 0: never).
    std::atomic<int64_t> last_data_unix{0};

    // Single-writer increment: cheaper than fetch_add, since no other thread writes.
    static void add(std::atomic<uint64_t>& counter, uint64_t amount) {
        counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
    }
};

}  // namespace Corvid::Capture
