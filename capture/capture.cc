#include "capture/capture.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "capture/capture_thread.h"
#include "capture/segment_files.h"
#include "capture/segment_writer.h"
#include "gantry/log/log.h"
#include "gantry/xml/element.h"
#include "gantry/xml/path_query.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
namespace Time = Gantry::Time;
namespace XML = Gantry::XML;

namespace {

// Whether path can be opened for writing; leaves no file behind that was not there.
bool can_write(const std::string& path) {
    struct stat status;
    const bool existed = ::stat(path.c_str(), &status) == 0;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
    if (!existed) ::unlink(path.c_str());
    return true;
}

}  // namespace

Capture::Capture(const XML::Element& definition, const XML::Element& defaults, EPGDecoder& decoder,
                 bool permanent, Options options)
    : permanent_(permanent),
      decoder_(decoder),
      clock_(std::move(options.clock)),
      started_(clock_()) {
    if (!permanent) {
        roots_ = std::make_unique<StorageRoots>(
            options.roots ? *options.roots
                          : StorageRoots::for_default_prefix(
                                XML::PathQuery(const_cast<XML::Element&>(defaults))
                                    .get_value("file/@prefix")));
    }
    if (!construct(definition, defaults)) {
        socket_.reset();
        return;
    }
    capture_thread_ = std::make_unique<CaptureThread>(*this);
    capture_thread_->start();

    if (settings_.external) {
        if (!settings_.current_output_path.empty())
            start_capturing(settings_.current_output_path, true, settings_.current_output_base_pcr);
        for (const ScheduleEvent& event : settings_.events)
            add_schedule_event(event);
    }
}

Capture::~Capture() {
    stop();
}

bool Capture::inside_roots(const std::string& path) const {
    return !roots_ || roots_->contains(path);
}

bool Capture::construct(const XML::Element& definition, const XML::Element& defaults) {
    if (!settings_.read(definition, defaults)) return false;
    const std::string label = "Capture '" + settings_.id + "'";
    if (!inside_roots(settings_.naming.prefix)) {
        Log::Error() << "Cannot allocate capture '" << settings_.id
                     << "' - file prefix outside the storage roots: " << settings_.naming.prefix
                     << std::endl;
        return false;
    }
    for (const ScheduleEvent& event : settings_.events) {
        if (event.path.empty() || inside_roots(event.path)) continue;
        Log::Error() << "Cannot allocate capture '" << settings_.id
                     << "' - schedule path outside the storage roots: " << event.path << std::endl;
        return false;
    }

    Log::Summary log;
    log << "Starting capture '" << settings_.id << "' from "
        << Gantry::Net::EndPoint(settings_.source.address, settings_.source.port) << " with "
        << settings_.segment_count << " segments of " << settings_.segment_length.seconds()
        << " sec";
    if (!settings_.naming.index_suffix.empty()) log << ", and index";
    log << std::endl;

    std::string problem;
    socket_ = open_source(settings_.source, &problem);
    if (!socket_ && problem.empty()) {
        Log::Error() << label << " can't create socket on port " << settings_.source.port
                     << std::endl;
        return false;
    }
    if (!socket_) {
        Log::Error() << label << " can't join multicast " << settings_.source.address << ": "
                     << problem << std::endl;
        return false;
    }
    socket_->set_timeout(0, ReceiveThread::socket_timeout_us);
    const int granted = configure_receive_socket(socket_->fd(), settings_.receive_buffer);
    Log::Detail() << label << " receive buffer " << granted << " bytes (asked for "
                  << settings_.receive_buffer << ")" << std::endl;

    ring_ = std::make_unique<DatagramRing>();
    rtp_ = std::make_unique<RtpUnwrapper>(settings_.source.rtp, counters_);
    writer_ = std::make_unique<SegmentWriter>(settings_, counters_, session_, &decoder_,
                                              [this] { prune(); });
    return true;
}

void Capture::start_receiving() {
    receive_thread_ = std::make_unique<ReceiveThread>("Capture '" + settings_.id + "'",
                                                      socket_->fd(), *ring_, counters_, running_);
    receive_thread_->start();
}

void Capture::stop() {
    running_.store(false, std::memory_order_release);
    if (socket_) leave_source(*socket_, settings_.source);
    // Ends a receive in progress; the threads then see the flag and return.
    if (socket_) ::shutdown(socket_->fd(), SHUT_RD);
    capture_thread_.reset();
    receive_thread_.reset();
    if (writer_) writer_->close_file();
    socket_.reset();
}

void Capture::describe(XML::Element& capture) const {
    settings_.describe(capture);
    if (!settings_.external) return;
    const SessionFields session = session_.fields();
    if (session.capturing) {
        XML::Element& output = capture.make_child("current-output");
        output.set_attr("path", session.path);
        if (!settings_.naming.index_suffix.empty())
            output.set_attr_real("base-pcr", writer_ ? writer_->base_pcr() : -1.0);
    }
    XML::Element& schedule = capture.make_child("schedule");
    for (const ScheduleEvent& event : schedule_.events()) {
        XML::Element& child = schedule.add("event");
        child.set_attr("time", event.time.iso());
        child.set_attr("action", std::string(ScheduleEvent::action_name(event.action)));
        child.set_attr("path", event.path);
    }
}

bool Capture::start_capturing(const std::string& path, bool append, double base_pcr) {
    if (!settings_.external) {
        Log::Error() << "Request denied to start capturing on auto mode capture id '"
                     << settings_.id << "'" << std::endl;
        return false;
    }
    if (session_.fields().capturing) {
        Log::Error() << "Can't start capturing on capture id '" << settings_.id
                     << "' because it is already capturing" << std::endl;
        return false;
    }
    const std::string name = path.empty() ? file_name(clock_()) : path;
    if (!inside_roots(name)) {
        Log::Error() << "Cannot start capture '" << settings_.id
                     << "' - path outside the storage roots: " << name << std::endl;
        return false;
    }
    const std::string& index_suffix = settings_.naming.index_suffix;
    if (!can_write(name) || !can_write(name + index_suffix)) {
        Log::Error() << "Cannot start capture - output/index file cannot be written to: " << name
                     << "[" << index_suffix << "]" << std::endl;
        return false;
    }
    if (!session_.start(path, append, base_pcr)) {
        Log::Error() << "Can't start capturing on capture id '" << settings_.id
                     << "' because it is already capturing" << std::endl;
        return false;
    }
    return true;
}

bool Capture::stop_capturing() {
    if (!settings_.external) {
        Log::Error() << "Request denied to stop capturing on auto mode capture id '" << settings_.id
                     << "'" << std::endl;
        return false;
    }
    if (!session_.stop()) {
        Log::Error() << "Can't stop capturing on capture id '" << settings_.id
                     << "' because it is not currently capturing" << std::endl;
        return false;
    }
    schedule_.drop_first_if(ScheduleEvent::STOP);
    return true;
}

bool Capture::add_schedule_event(ScheduleEvent event) {
    const bool added = schedule_.add(std::move(event));
    scheduled_.store(true);
    return added;
}

void Capture::schedule_stop(Time::Stamp time) {
    add_schedule_event(ScheduleEvent{time, ScheduleEvent::STOP, {}});
}

void Capture::schedule_check() {
    if (!scheduled_.load()) return;
    const std::optional<ScheduleEvent> due = schedule_.take_due(clock_());
    if (due && due->action == ScheduleEvent::START)
        start_capturing(due->path, false, -1.0);
    else if (due && due->action == ScheduleEvent::STOP)
        stop_capturing();
    // Lowered before the look, so an event added meanwhile raises it again.
    scheduled_.store(false);
    if (!schedule_.events().empty()) scheduled_.store(true);
}

void Capture::prune() {
    if (settings_.external) return;
    // The minute of slack must not eat into the window when segments are short.
    const Time::Duration window = settings_.segment_length * settings_.segment_count;
    const Time::Duration keep = std::max(
        window, settings_.segment_length * (settings_.segment_count + 1) - Time::Duration(60));
    const Time::Stamp cut_off = clock_() - keep;
    Log::Detail() << "Pruning files for capture " << settings_.id << " back to " << cut_off.iso()
                  << std::endl;
    delete_files(cut_off);
}

void Capture::delete_files(Time::Stamp cut_off) {
    delete_segment_files(settings_.naming, cut_off);
}

}  // namespace Corvid::Capture
