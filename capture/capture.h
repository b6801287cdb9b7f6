// A channel capture: receives one channel's transport stream from a UDP group and records it
// into segment files with an index beside each, following its schedule (external mode) or
// recording all the time and pruning old segments (auto mode).
//
// Construction reads and checks the definition, opens and joins the socket and starts the
// threads; a capture that could not be set up has no socket (valid() is false) and no threads,
// and its owner destroys it. Destruction stops it.
//
// Threads: a receive thread (socket to ring) and a capture thread (ring to files), which ends
// both by itself once stopped; nothing is cancelled. The session and schedule operations and the
// queries may be called from any thread; stop() from one thread at a time.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "capture/capture_counters.h"
#include "capture/capture_settings.h"
#include "capture/datagram_ring.h"
#include "capture/receive_thread.h"
#include "capture/rtp.h"
#include "capture/schedule.h"
#include "capture/session.h"
#include "capture/storage_roots.h"
#include "gantry/net/udp_socket.h"
#include "gantry/time/stamp.h"

namespace Gantry::XML {
class Element;
}

namespace Corvid::Capture {

class EPGDecoder;
class SegmentWriter;

class Capture {
  public:
    using Clock = std::function<Gantry::Time::Stamp()>;
    using ReceiveThread = Corvid::Capture::ReceiveThread;
    class CaptureThread;

    struct Options {
        // Where a capture that is not permanent may write; null: under the default prefix's
        // directory (or the working directory), as the service's default says.
        const StorageRoots* roots = nullptr;
        Clock clock = &Gantry::Time::Stamp::now;
    };

    // decoder must outlive the capture.
    Capture(const Gantry::XML::Element& definition, const Gantry::XML::Element& defaults,
            EPGDecoder& decoder, bool permanent, Options options);
    Capture(const Gantry::XML::Element& definition, const Gantry::XML::Element& defaults,
            EPGDecoder& decoder, bool permanent)
        : Capture(definition, defaults, decoder, permanent, Options()) {}
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    bool valid() const { return socket_ != nullptr; }
    const std::string& id() const { return settings_.id; }
    bool permanent() const { return permanent_; }
    const CaptureSettings& settings() const { return settings_; }
    const CaptureCounters& counters() const { return counters_; }
    bool capturing() const { return session_.fields().capturing; }
    SessionFields session() const { return session_.fields(); }
    // When the capture was made: its counters count from here.
    Gantry::Time::Stamp started() const { return started_; }
    // Where the socket is bound (the port the system chose for port 0).
    Gantry::Net::EndPoint local_end_point() const {
        return socket_ ? socket_->local_end_point() : Gantry::Net::EndPoint();
    }

    // Adds the capture element form to a "capture" element.
    void describe(Gantry::XML::Element& capture) const;
    std::string file_name(Gantry::Time::Stamp start) const {
        return settings_.naming.file_name(start);
    }
    Gantry::Time::Stamp time_of_file(const std::string& name) const {
        return settings_.naming.time_of(name);
    }

    // External mode sessions. Refusals are logged and give false.
    bool start_capturing(const std::string& path, bool append, double base_pcr);
    bool stop_capturing();
    void schedule_stop(Gantry::Time::Stamp time);
    bool add_schedule_event(ScheduleEvent event);
    std::vector<ScheduleEvent> schedule() const { return schedule_.events(); }
    // Handles at most one due event; called on every service tick.
    void schedule_check();

    // Deletes the segments beyond the kept window (auto mode only).
    void prune();
    // The invalid stamp deletes every segment of the capture.
    void delete_files(Gantry::Time::Stamp cut_off);

    // Ends both threads, leaves the group, closes the file and the socket. Harmless twice.
    void stop();

  private:
    friend class CaptureThread;

    bool construct(const Gantry::XML::Element& definition, const Gantry::XML::Element& defaults);
    bool inside_roots(const std::string& path) const;
    void start_receiving();

    CaptureSettings settings_;
    const bool permanent_;
    EPGDecoder& decoder_;
    const Clock clock_;
    const Gantry::Time::Stamp started_;
    std::unique_ptr<StorageRoots> roots_;  // set for captures that are not permanent

    CaptureCounters counters_;
    Session session_;
    Schedule schedule_;
    // False only while the schedule is empty: most captures have nothing scheduled, and the
    // service checks each of them on every tick.
    std::atomic<bool> scheduled_{false};
    std::atomic<bool> running_{true};
    std::unique_ptr<DatagramRing> ring_;
    std::unique_ptr<Gantry::Net::UDPSocket> socket_;
    std::unique_ptr<RtpUnwrapper> rtp_;
    std::unique_ptr<SegmentWriter> writer_;
    std::unique_ptr<CaptureThread> capture_thread_;
    std::unique_ptr<ReceiveThread> receive_thread_;
};

}  // namespace Corvid::Capture
