#include "capture/receive_thread.h"

#include <errno.h>
#include <sys/socket.h>

#include "gantry/log/log.h"
#include "gantry/net/socket_error.h"

namespace Corvid::Capture {

ReceiveThread::ReceiveThread(std::string log_name, int fd, DatagramRing& ring,
                             CaptureCounters& counters, const std::atomic<bool>& running)
    : log_name_(std::move(log_name)), fd_(fd), receiver_(fd, ring, counters), running_(running) {}

ReceiveThread::~ReceiveThread() {
    stop();
}

void ReceiveThread::run() {
    while (keep_going()) {
        if (receiver_.receive() >= 0) continue;
        const int error = errno;
        if (keep_going())
            Gantry::Log::Error() << log_name_ << ": socket error "
                                 << Gantry::Net::SocketError(error).what() << std::endl;
        // A socket that fails for good must not spin the processor while the log fills up.
        wait_for_stop(std::chrono::milliseconds(10));
    }
}

void ReceiveThread::wake() {
    // On an unconnected UDP socket this reports ENOTCONN but still ends a blocked receive.
    ::shutdown(fd_, SHUT_RD);
}

}  // namespace Corvid::Capture
