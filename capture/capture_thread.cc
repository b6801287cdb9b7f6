#include "capture/capture_thread.h"

#include <chrono>

#include "capture/segment_writer.h"
#include "gantry/log/log.h"

namespace Corvid::Capture {

namespace Time = Gantry::Time;

Capture::CaptureThread::~CaptureThread() {
    stop();
}

void Capture::CaptureThread::run() {
    capture_.start_receiving();
    DatagramRing& ring = *capture_.ring_;
    SegmentWriter& writer = *capture_.writer_;
    writer.begin(capture_.clock_());
    Time::Stamp last_busy;
    while (capture_.running_.load(std::memory_order_acquire) && !stop_requested()) {
        const size_t waiting = ring.available();
        const Time::Stamp now = capture_.clock_();
        if (waiting == 0) {
            writer.on_idle(now);
            // A full ring holds about 10 ms of a 1 Gbit/s stream: poll briskly while data flows.
            const bool flowing = last_busy.valid() && now - last_busy < Time::Duration(1);
            wait_for_stop(std::chrono::milliseconds(flowing ? 1 : 10));
            continue;
        }
        last_busy = now;
        for (size_t i = 0; i < waiting; i++) {
            const DatagramRing::Datagram datagram = ring.front();
            writer.on_datagram(now, datagram.data, datagram.length);
            ring.release();
        }
    }
    Gantry::Log::Detail() << "Capture '" << capture_.id() << "' ended" << std::endl;
}

}  // namespace Corvid::Capture
