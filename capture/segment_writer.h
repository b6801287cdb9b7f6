// The segment writer of one capture: what the capture thread does with each datagram it takes
// and with each moment the queue is empty. It writes the datagrams to the current segment file,
// opens a new file at every multiple of the segment length counted from 00:00 UTC (auto mode) or
// for each session (external mode), keeps the segment's index beside it, feeds the programme
// guide decoder, closes the file when the stream goes quiet and opens the next one once the
// stream has been back for the resume time.
//
// The first file opens at the first datagram: the resume delay applies only after a quiet period
// seen while running. A file that cannot be opened or written is retried at most once a second
// and logged at most once every 10 seconds with a count, until writing works again.
//
// Time comes from the caller, so tests drive the writer with their own clock. Used by the capture
// thread alone, except for the base PCR, which any thread may read.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "capture/capture_counters.h"
#include "capture/capture_settings.h"
#include "capture/continuity.h"
#include "capture/index_set.h"
#include "capture/segment_file.h"
#include "capture/session.h"
#include "epg/epg_decoder.h"
#include "gantry/time/stamp.h"

namespace Corvid::Capture {

class SegmentWriter {
  public:
    static constexpr double report_interval = 10;  // seconds between drop and failure lines
    static constexpr double retry_interval = 1;    // seconds between attempts after a failure
    static constexpr double flush_interval = 1;    // seconds a written byte may stay buffered

    // settings, counters and session must outlive the writer. decoder may be null (no guide
    // decoding); prune, called when the thread starts and at each new file in auto mode, may be
    // empty.
    SegmentWriter(const CaptureSettings& settings, CaptureCounters& counters, Session& session,
                  EPGDecoder* decoder, std::function<void()> prune);
    ~SegmentWriter();

    // The first thing the thread does: prune, and compute the first switch.
    void begin(Gantry::Time::Stamp now);
    void on_datagram(Gantry::Time::Stamp now, const uint8_t* data, size_t length);
    // The queue is empty.
    void on_idle(Gantry::Time::Stamp now);
    // Closes the file and the index, as when the capture stops.
    void close_file();

    bool file_open() const { return file_.is_open(); }
    Gantry::Time::Stamp next_switch() const { return next_switch_; }
    // The base PCR of the current segment's index generator, -1 without one.
    double base_pcr() const { return base_pcr_.load(std::memory_order_relaxed); }

    // The first multiple of the segment length since 00:00 UTC of now's day later than now: a
    // file opened right on a boundary lasts a whole segment.
    static Gantry::Time::Stamp next_switch_time(Gantry::Time::Stamp now,
                                                Gantry::Time::Duration length);

  private:
    std::string label() const { return "Capture '" + settings_.id + "'"; }
    void open_file(Gantry::Time::Stamp now, const std::string& path, bool append, double base_pcr);
    void drop_file();  // without the closing line; the index stays
    void create_index(const std::string& path, uint64_t start_offset, double base_pcr);
    void close_index();
    void feed_index(const uint8_t* data, size_t length);
    // Hands the segment's and then the index's buffered bytes to the system once a second, so
    // that a worker killed outright loses at most that much of either, and the index never names
    // bytes the segment file lacks.
    void flush_if_due(Gantry::Time::Stamp now);
    // A failed open or write: counted, logged at most every report_interval.
    void failed(Gantry::Time::Stamp now, const std::string& what);
    void report_drops(Gantry::Time::Stamp now);

    const CaptureSettings& settings_;
    CaptureCounters& counters_;
    Session& session_;
    EPGDecoder* decoder_;
    const std::function<void()> prune_;
    EPGStreamState epg_state_;
    ServiceOwner owner_;
    ContinuityCheck continuity_;

    SegmentFile file_;
    std::unique_ptr<IndexGen::IndexSet> index_;
    std::atomic<double> base_pcr_{-1.0};

    SessionFields session_fields_;
    uint64_t session_seen_ = 0;

    Gantry::Time::Stamp next_switch_;
    Gantry::Time::Stamp flushed_at_;
    Gantry::Time::Stamp last_data_;
    Gantry::Time::Stamp no_data_;

    // Failures since the last success, those not yet logged, and when the next try and line may
    // come.
    uint64_t failures_ = 0;
    uint64_t unreported_failures_ = 0;
    Gantry::Time::Stamp retry_at_;
    Gantry::Time::Stamp failure_report_at_;

    Gantry::Time::Stamp drop_report_at_;
    uint64_t reported_ring_drops_ = 0;
    uint64_t reported_kernel_drops_ = 0;
    uint64_t reported_cc_errors_ = 0;
};

}  // namespace Corvid::Capture
