#include "capture/segment_writer.h"

#include <errno.h>

#include <cmath>
#include <cstring>

#include "gantry/channel/error.h"
#include "gantry/log/log.h"

namespace Corvid::Capture {

namespace Log = Gantry::Log;
namespace Time = Gantry::Time;

SegmentWriter::SegmentWriter(const CaptureSettings& settings, CaptureCounters& counters,
                             Session& session, EPGDecoder* decoder, std::function<void()> prune)
    : settings_(settings),
      counters_(counters),
      session_(session),
      decoder_(decoder),
      prune_(std::move(prune)),
      owner_{settings.id, settings.segment_length * settings.segment_count} {
    if (!settings.naming.index_suffix.empty()) index_ = std::make_unique<IndexGen::IndexSet>();
}

SegmentWriter::~SegmentWriter() {
    close_file();
}

Time::Stamp SegmentWriter::next_switch_time(Time::Stamp now, Time::Duration length) {
    // Seconds since 1900 count whole days from a midnight (UTC has no leap seconds here).
    const Time::Stamp day = Time::Stamp::from_seconds(now.seconds() - now.seconds() % 86400);
    const double n = std::floor((now - day) / length) + 1;
    return day + length * n;
}

void SegmentWriter::begin(Time::Stamp now) {
    if (!settings_.external && prune_) prune_();
    next_switch_ = next_switch_time(now, settings_.segment_length);
    Log::Detail() << label() << " first switch at " << next_switch_.iso() << std::endl;
    drop_report_at_ = now + Time::Duration(report_interval);
}

void SegmentWriter::on_idle(Time::Stamp now) {
    flush_if_due(now);
    report_drops(now);
    // Before the first datagram there is no quiet period to speak of.
    if (!last_data_.valid() || !(last_data_ + settings_.receive_timeout < now)) return;
    no_data_ = now;
    session_.refresh(session_fields_, session_seen_);
    if (file_.is_open() && !session_fields_.capturing) {
        Log::Error() << "No data received for '" << settings_.id << "' for over "
                     << settings_.receive_timeout.hms() << " - closing capture file" << std::endl;
        close_file();
    }
}

void SegmentWriter::on_datagram(Time::Stamp now, const uint8_t* data, size_t length) {
    last_data_ = now;
    if (const uint64_t gaps = continuity_.check(data, length))
        CaptureCounters::add(counters_.cc_errors, gaps);
    if (decoder_) process_data(*decoder_, data, length, epg_state_, &owner_);

    session_.refresh(session_fields_, session_seen_);
    const bool external = settings_.external;
    const bool capturing = session_fields_.capturing;
    const bool want_file =
        external ? capturing && !file_.is_open() : !file_.is_open() || !(now < next_switch_);
    const bool resuming = no_data_.valid() && !(now - no_data_ > settings_.receive_resume);
    const bool backing_off = failures_ > 0 && now < retry_at_;
    if (want_file && !resuming && !backing_off) {
        open_file(now, session_fields_.path, session_fields_.append, session_fields_.base_pcr);
        if (external && capturing && !file_.is_open()) {
            session_.stop();
            session_.refresh(session_fields_, session_seen_);
        }
        next_switch_ = next_switch_time(now, settings_.segment_length);
        Log::Detail() << label() << " next switch at " << next_switch_.iso() << std::endl;
        if (!external && prune_) prune_();
    }

    if (file_.is_open() && (!external || session_fields_.capturing)) {
        if (file_.write(data, length)) {
            // Opening proves nothing on a full disk: writing has recovered once bytes land.
            if (failures_ > 0 && file_.flushed() > 0) {
                Log::Summary() << label() << " writing again after " << failures_
                               << " failed attempts" << std::endl;
                failures_ = 0;
                unreported_failures_ = 0;
            }
        } else {
            failed(now, label() + " file error: " + std::strerror(errno));
            drop_file();
        }
    }

    if (file_.is_open() && external && !session_fields_.capturing) {
        drop_file();
        close_index();
    }
    feed_index(data, length);
    flush_if_due(now);
    report_drops(now);
}

void SegmentWriter::flush_if_due(Time::Stamp now) {
    if (!file_.is_open() ||
        (flushed_at_.valid() && now - flushed_at_ < Time::Duration(flush_interval)))
        return;
    flushed_at_ = now;
    if (!file_.flush()) {
        failed(now, label() + " file error: " + std::strerror(errno));
        drop_file();
        return;
    }
    if (!index_ || !index_->is_open()) return;
    try {
        index_->flush();
    } catch (const Gantry::Channel::Error& error) {
        Log::Error() << "Error writing index: " << error.text() << std::endl;
        close_index();
    }
}

void SegmentWriter::open_file(Time::Stamp now, const std::string& given, bool append,
                              double base_pcr) {
    close_file();
    const std::string path = given.empty() ? settings_.naming.file_name(now) : given;
    Log::Summary() << label() << " beginning file " << path << std::endl;
    if (!file_.open(path, append)) {
        failed(now, label() + " can't open file " + path + ": " + std::strerror(errno));
        return;
    }
    CaptureCounters::add(counters_.files_opened, 1);
    flushed_at_ = now;  // a second's worth goes out together, as before from a full buffer
    if (index_) create_index(settings_.naming.index_name(path), file_.start_offset(), base_pcr);
}

void SegmentWriter::failed(Time::Stamp now, const std::string& what) {
    CaptureCounters::add(counters_.write_errors, 1);
    failures_++;
    retry_at_ = now + Time::Duration(retry_interval);
    if (failures_ > 1 && now < failure_report_at_) {
        unreported_failures_++;
        return;
    }
    Log::Stream line(Log::logger, Log::error_level);
    line << what;
    if (unreported_failures_ > 0)
        line << " (" << unreported_failures_ << " more failures since the last report)";
    line << std::endl;
    unreported_failures_ = 0;
    failure_report_at_ = now + Time::Duration(report_interval);
}

void SegmentWriter::drop_file() {
    file_.close();
}

void SegmentWriter::close_file() {
    if (file_.is_open()) {
        Log::Summary() << "Closing capture file for id '" << settings_.id << "'" << std::endl;
        file_.close();
    }
    close_index();
}

void SegmentWriter::create_index(const std::string& path, uint64_t start_offset, double base_pcr) {
    Log::Detail() << "Creating index file in " << path << std::endl;
    if (!index_->create(path, start_offset, base_pcr)) {
        Log::Error() << "Can't create index file " << path << ": " << std::strerror(errno)
                     << std::endl;
        return;
    }
    base_pcr_.store(index_->base_pcr(), std::memory_order_relaxed);
}

void SegmentWriter::close_index() {
    if (!index_ || !index_->is_open()) return;
    Log::Detail() << "Closing index file" << std::endl;
    index_->close();
    base_pcr_.store(-1.0, std::memory_order_relaxed);
}

void SegmentWriter::feed_index(const uint8_t* data, size_t length) {
    if (!index_ || !index_->is_open()) return;
    try {
        index_->feed(data, length);
        base_pcr_.store(index_->base_pcr(), std::memory_order_relaxed);
    } catch (const Gantry::Channel::Error& error) {
        Log::Error() << "Error writing index: " << error.text() << std::endl;
        close_index();
    }
}

void SegmentWriter::report_drops(Time::Stamp now) {
    if (now < drop_report_at_) return;
    drop_report_at_ = now + Time::Duration(report_interval);
    const uint64_t ring = counters_.ring_drops.load(std::memory_order_relaxed);
    const uint64_t kernel = counters_.kernel_drops.load(std::memory_order_relaxed);
    const uint64_t cc = counters_.cc_errors.load(std::memory_order_relaxed);
    if (ring == reported_ring_drops_ && kernel == reported_kernel_drops_ &&
        cc == reported_cc_errors_)
        return;
    Log::Error() << label() << " lost " << ring - reported_ring_drops_
                 << " datagrams to a full queue and " << kernel - reported_kernel_drops_
                 << " in the socket buffer, with " << cc - reported_cc_errors_
                 << " continuity errors, in the last " << report_interval << " seconds"
                 << std::endl;
    reported_ring_drops_ = ring;
    reported_kernel_drops_ = kernel;
    reported_cc_errors_ = cc;
}

}  // namespace Corvid::Capture
