// A guide stream capture: receives one UDP stream of DVB service information and feeds it to the
// shared EPG decoder, which adds the events to the store. It writes nothing to disk and names no
// service owner, so it only supplies events for services the channel captures have found.
//
// It receives exactly as a channel capture does (the same ring, receiver and receive thread), so a
// datagram that finds the queue full is dropped and counted, never written over a queued buffer.
// RTP headers are taken off on the capture thread, as for a channel, so the decoder sees only the
// transport stream.
//
// Construction reads the stream element, opens and joins the socket and starts the threads; a
// capture whose socket could not be set up has none (valid() is false) and no threads, and its
// owner leaves it out. Destruction shuts it down.
//
// Threads: a receive thread (socket to ring) and a capture thread (ring to decoder), which starts
// the receive thread and ends by itself once shut down. shutdown() from one thread at a time.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "capture/capture_counters.h"
#include "capture/datagram_ring.h"
#include "capture/receive_thread.h"
#include "capture/rtp.h"
#include "capture/source_settings.h"
#include "epg/epg_decoder.h"
#include "gantry/net/udp_socket.h"

namespace Gantry::XML {
class Element;
}

namespace Corvid::Capture {

class EPGCapture {
  public:
    using ReceiveThread = Corvid::Capture::ReceiveThread;
    class EPGCaptureThread;

    // decoder must outlive the capture.
    EPGCapture(const Gantry::XML::Element& stream, EPGDecoder& decoder);
    ~EPGCapture();
    EPGCapture(const EPGCapture&) = delete;
    EPGCapture& operator=(const EPGCapture&) = delete;

    bool valid() const { return socket_ != nullptr; }
    const std::string& id() const { return id_; }
    const SourceSettings& source() const { return source_; }
    // Datagrams queued, dropped for a full queue or in the kernel, and RTP losses.
    const CaptureCounters& counters() const { return counters_; }
    // Where the socket is bound (the port the system chose for port 0).
    Gantry::Net::EndPoint local_end_point() const {
        return socket_ ? socket_->local_end_point() : Gantry::Net::EndPoint();
    }

    // Ends both threads, leaves the group and closes the socket. Harmless twice.
    void shutdown();

  private:
    friend class EPGCaptureThread;

    bool open();
    void start_receiving();
    // Decodes what waits on the ring; how many datagrams did.
    size_t decode_waiting();

    std::string id_;
    SourceSettings source_;
    EPGDecoder& decoder_;
    EPGStreamState state_;
    std::unique_ptr<RtpUnwrapper> rtp_;
    CaptureCounters counters_;
    std::atomic<bool> running_{true};
    std::unique_ptr<DatagramRing> ring_;
    std::unique_ptr<Gantry::Net::UDPSocket> socket_;
    std::unique_ptr<EPGCaptureThread> capture_thread_;
    std::unique_ptr<ReceiveThread> receive_thread_;
};

}  // namespace Corvid::Capture
