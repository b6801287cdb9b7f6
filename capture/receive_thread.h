// The thread that only receives: it moves datagrams from a socket into a ring until asked to stop
// (Capture::Capture and the EPG captures each run one).
//
// Stopping needs no cancellation: wake() shuts the socket's reading side down, which ends a wait
// at once, and the socket must carry a receive timeout (socket_timeout_us) so that the loop sees
// the stop request within it even so. That timeout is the only wake-up of an idle receive thread:
// long, but short of the stop grace. A socket error is logged only while the thread is not being
// stopped.
#pragma once

#include <atomic>
#include <string>

#include "capture/capture_counters.h"
#include "capture/datagram_receiver.h"
#include "capture/datagram_ring.h"
#include "gantry/mt/thread.h"

namespace Corvid::Capture {

class ReceiveThread : public Gantry::MT::Thread {
  public:
    static constexpr int socket_timeout_us = 800000;

    // log_name starts the socket-error line ("Capture 'news'"). fd, ring and counters must outlive
    // the thread; running is the owner's flag, cleared before it stops the thread.
    ReceiveThread(std::string log_name, int fd, DatagramRing& ring, CaptureCounters& counters,
                  const std::atomic<bool>& running);
    ~ReceiveThread() override;

  protected:
    void run() override;
    void wake() override;

  private:
    bool keep_going() const {
        return running_.load(std::memory_order_acquire) && !stop_requested();
    }

    const std::string log_name_;
    const int fd_;
    DatagramReceiver receiver_;
    const std::atomic<bool>& running_;
};

}  // namespace Corvid::Capture
