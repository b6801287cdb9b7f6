#include "capture/epg_capture.h"

#include <sys/socket.h>

#include "capture/capture_settings.h"
#include "gantry/log/log.h"
#include "gantry/mt/thread.h"
#include "gantry/xml/element.h"
#include "gantry/xml/path_query.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
namespace XML = Gantry::XML;

class EPGCapture::EPGCaptureThread : public Gantry::MT::Thread {
  public:
    explicit EPGCaptureThread(EPGCapture& capture) : capture_(capture) {}
    ~EPGCaptureThread() override { stop(); }

  protected:
    void run() override {
        capture_.start_receiving();
        RingPacer pacer(*capture_.ring_);
        while (capture_.running_.load(std::memory_order_acquire) && !stop_requested()) {
            const size_t decoded = capture_.decode_waiting();
            // Guide data needs no bookkeeping while none comes.
            if (decoded == 0) pacer.pause(RingPacer::unfed_wait);
            pacer.took(decoded);
        }
        Log::Detail() << "EPG Capture '" << capture_.id_ << "' ended" << std::endl;
    }

    void wake() override { capture_.ring_->interrupt(); }

  private:
    EPGCapture& capture_;
};

EPGCapture::EPGCapture(const XML::Element& stream, EPGDecoder& decoder) : decoder_(decoder) {
    id_ = XML::PathQuery(const_cast<XML::Element&>(stream)).get_value("@id");
    std::string problem;
    if (!source_.read(stream, XML::Element::none, &problem)) {
        Log::Error() << "EPG Capture '" << id_ << "' - " << problem << std::endl;
        return;
    }
    if (!open()) {
        socket_.reset();
        return;
    }
    rtp_ = std::make_unique<RtpUnwrapper>(source_.rtp, counters_);
    capture_thread_ = std::make_unique<EPGCaptureThread>(*this);
    capture_thread_->start();
}

EPGCapture::~EPGCapture() {
    shutdown();
}

bool EPGCapture::open() {
    Log::Summary() << "Starting EPG capture '" << id_ << "' from "
                   << Gantry::Net::EndPoint(source_.address, source_.port) << std::endl;
    std::string problem;
    socket_ = open_source(source_, &problem);
    if (!socket_) {
        if (problem.empty())
            Log::Error() << "EPG Capture '" << id_ << "' can't create socket on port "
                         << source_.port << std::endl;
        else
            Log::Error() << "EPG Capture '" << id_ << "' can't join multicast " << source_.address
                         << ": " << problem << std::endl;
        return false;
    }
    socket_->set_timeout(0, ReceiveThread::socket_timeout_us);
    // Room for a burst of guide sections while the capture thread decodes.
    configure_receive_socket(socket_->fd(), CaptureSettings::default_receive_buffer);
    ring_ = std::make_unique<DatagramRing>();
    return true;
}

void EPGCapture::start_receiving() {
    receive_thread_ = std::make_unique<ReceiveThread>("EPGCapture '" + id_ + "'", socket_->fd(),
                                                      *ring_, counters_, running_);
    receive_thread_->start();
}

size_t EPGCapture::decode_waiting() {
    const size_t waiting = ring_->available();
    for (size_t i = 0; i < waiting; i++) {
        const DatagramRing::Datagram datagram = ring_->front();
        const uint8_t* data = datagram.data;
        size_t length = datagram.length;
        if (rtp_->unwrap(data, length)) process_data(decoder_, data, length, state_, nullptr);
        ring_->release();
    }
    return waiting;
}

void EPGCapture::shutdown() {
    running_.store(false, std::memory_order_release);
    if (socket_) {
        leave_source(*socket_, source_);
        // Ends a receive in progress; the threads then see the flag and return.
        ::shutdown(socket_->fd(), SHUT_RD);
    }
    capture_thread_.reset();
    receive_thread_.reset();
    socket_.reset();
}

}  // namespace Corvid::Capture
