#include "capture/capture_thread.h"

#include "capture/segment_writer.h"
#include "gantry/log/log.h"

namespace Corvid::Capture {

namespace Time = Gantry::Time;

namespace {

void take(DatagramRing& ring, RtpUnwrapper& rtp, SegmentWriter& writer, size_t count,
          Time::Stamp now) {
    for (size_t i = 0; i < count; i++) {
        const DatagramRing::Datagram datagram = ring.front();
        const uint8_t* data = datagram.data;
        size_t length = datagram.length;
        if (rtp.unwrap(data, length)) writer.on_datagram(now, data, length);
        ring.release();
    }
}

}  // namespace

Capture::CaptureThread::~CaptureThread() {
    stop();
}

void Capture::CaptureThread::run() {
    capture_.start_receiving();
    DatagramRing& ring = *capture_.ring_;
    SegmentWriter& writer = *capture_.writer_;
    RtpUnwrapper& rtp = *capture_.rtp_;
    writer.begin(capture_.clock_());
    RingPacer pacer(ring);
    // Until the first datagram the writer has no quiet period to time.
    bool fed = false;
    while (capture_.running_.load(std::memory_order_acquire) && !stop_requested()) {
        const size_t waiting = ring.available();
        const Time::Stamp now = capture_.clock_();
        if (waiting == 0) {
            writer.on_idle(now);
            pacer.pause(fed ? RingPacer::idle_wait : RingPacer::unfed_wait);
            continue;
        }
        take(ring, rtp, writer, waiting, now);
        capture_.counters_.last_data_unix.store(now.unix_seconds(), std::memory_order_relaxed);
        pacer.took(waiting);
        fed = true;
    }
    // What was received before the stop is still written.
    take(ring, rtp, writer, ring.available(), capture_.clock_());
    Gantry::Log::Detail() << "Capture '" << capture_.id() << "' ended" << std::endl;
}

void Capture::CaptureThread::wake() {
    capture_.ring_->interrupt();
}

}  // namespace Corvid::Capture
