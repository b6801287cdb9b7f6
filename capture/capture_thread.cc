#include "capture/capture_thread.h"

#include <algorithm>
#include <chrono>

#include "capture/segment_writer.h"
#include "gantry/log/log.h"

namespace Corvid::Capture {

namespace Time = Gantry::Time;

namespace {

constexpr std::chrono::microseconds MIN_PAUSE{500};
constexpr std::chrono::microseconds MAX_PAUSE{10000};

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
    // Sleeps last about as long as an eighth of the ring takes to fill at the rate data came in
    // during the previous one: short for a fast stream, 10 ms for a slow or quiet one.
    auto slept_at = std::chrono::steady_clock::now();
    size_t taken = 0;
    while (capture_.running_.load(std::memory_order_acquire) && !stop_requested()) {
        const size_t waiting = ring.available();
        const Time::Stamp now = capture_.clock_();
        if (waiting == 0) {
            writer.on_idle(now);
            const auto sleeping = std::chrono::steady_clock::now();
            std::chrono::duration<double> pause = MAX_PAUSE;
            if (taken > 0)
                pause = std::min<std::chrono::duration<double>>(
                    MAX_PAUSE, (sleeping - slept_at) * (ring.slots() / 8.0 / taken));
            wait_for_stop(
                std::max(MIN_PAUSE, std::chrono::duration_cast<std::chrono::microseconds>(pause)));
            slept_at = sleeping;
            taken = 0;
            continue;
        }
        take(ring, rtp, writer, waiting, now);
        taken += waiting;
    }
    // What was received before the stop is still written.
    take(ring, rtp, writer, ring.available(), capture_.clock_());
    Gantry::Log::Detail() << "Capture '" << capture_.id() << "' ended" << std::endl;
}

}  // namespace Corvid::Capture
