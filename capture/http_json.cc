#include "capture/http_json.h"

#include <sys/stat.h>

#include <charconv>
#include <map>
#include <optional>

#include "capture/epg_capture.h"
#include "capture/server.h"
#include "gantry/web/http_server.h"
#include "gantry/web/json.h"

namespace Corvid::Capture {

namespace Web = Gantry::Web;
using Gantry::Time::Duration;
using Gantry::Time::Stamp;

namespace {

using Counter = std::atomic<uint64_t> CaptureCounters::*;

constexpr std::pair<const char*, Counter> capture_counters[] = {
    {"datagrams", &CaptureCounters::datagrams},
    {"bytes", &CaptureCounters::bytes},
    {"ring_drops", &CaptureCounters::ring_drops},
    {"kernel_drops", &CaptureCounters::kernel_drops},
    {"cc_errors", &CaptureCounters::cc_errors},
    {"rtp_lost", &CaptureCounters::rtp_lost},
    {"rtp_late", &CaptureCounters::rtp_late},
    {"rtp_duplicates", &CaptureCounters::rtp_duplicates},
    {"rtp_rejected", &CaptureCounters::rtp_rejected},
    {"files_opened", &CaptureCounters::files_opened},
    {"write_errors", &CaptureCounters::write_errors},
};
// A guide stream's capture writes no files and keeps no RTP or continuity accounts.
constexpr size_t epg_counter_count = 4;

constexpr size_t counter_count = std::size(capture_counters);
using CounterValues = std::array<uint64_t, counter_count>;

CounterValues read_counters(const CaptureCounters& counters) {
    CounterValues values{};
    for (size_t i = 0; i < counter_count; i++)
        values[i] = (counters.*capture_counters[i].second).load(std::memory_order_relaxed);
    return values;
}

void write_counters(Web::JsonWriter& json, const CounterValues& values, size_t count) {
    json.key("counters").begin_object();
    for (size_t i = 0; i < count; i++)
        json.key(capture_counters[i].first).value(values[i]);
    json.end_object();
}

// To the millisecond at most: JavaScript's Date reads no finer, and not every engine accepts more
// digits.
void write_stamp(Web::JsonWriter& json, const char* name, Stamp stamp) {
    json.key(name);
    if (!stamp.valid()) {
        json.null();
        return;
    }
    std::string text = stamp.iso();
    const size_t point = text.find('.');
    if (point != std::string::npos && text.size() > point + 5)
        text.replace(point + 4, text.size() - point - 5, "");
    json.value(text);
}

void write_source(Web::JsonWriter& json, const SourceSettings& source) {
    json.key("source").begin_object();
    json.key("address").value(source.address_text).key("port").value(int{source.port});
    json.key("rtp").value(rtp_mode_name(source.rtp)).key("interface").value(source.interface);
    json.key("source").value(source.source_text).end_object();
}

// What is read of a capture under the registry's lock; the rest is worked out after.
struct CaptureView {
    bool valid = false;
    bool permanent = false;
    CaptureSettings settings;
    SessionFields session;
    Stamp started;
    Stamp last_data;
    CounterValues counters{};
};

const char* state_of(const CaptureView& capture, Stamp now, Stamp& quiet_since) {
    if (!capture.valid) return "failed";
    if (capture.settings.external && !capture.session.capturing) return "stopped";
    if (!capture.last_data.valid()) {
        quiet_since = capture.started;
        return "waiting";
    }
    // The last datagram's time is kept in whole seconds.
    if (capture.last_data + capture.settings.receive_timeout + Duration(1) < now) {
        quiet_since = capture.last_data;
        return "quiet";
    }
    return "recording";
}

void write_capture(Web::JsonWriter& json, const CaptureView& capture, Stamp now) {
    const CaptureSettings& settings = capture.settings;
    json.begin_object().key("id").value(settings.id);
    json.key("permanent").value(capture.permanent).key("external").value(settings.external);
    Stamp quiet_since;
    const char* state = state_of(capture, now, quiet_since);
    json.key("state").value(state);
    write_stamp(json, "started", capture.started);
    write_stamp(json, "last_datagram", capture.last_data);
    write_stamp(json, "quiet_since", quiet_since);
    json.key("session");
    if (settings.external && capture.session.capturing)
        json.begin_object()
            .key("path")
            .value(capture.session.path)
            .key("append")
            .value(capture.session.append)
            .key("base_pcr")
            .value(capture.session.base_pcr)
            .end_object();
    else
        json.null();
    write_source(json, settings.source);
    json.key("segment_length_seconds").value(settings.segment_length.seconds());
    json.key("segment_count").value(settings.segment_count);
    json.key("retention_seconds");
    if (settings.external)
        json.null();
    else
        json.value(settings.segment_length.seconds() * settings.segment_count);

    const Recording recording = recording_on_disk(playlist_settings(settings));
    // The file being written: the session's own, or the newest segment of the naming.
    std::string current;
    Stamp current_start;
    if (std::string_view(state) == "recording") {
        if (!capture.session.path.empty()) {
            current = capture.session.path;
        } else {
            current = recording.newest;
            current_start = recording.newest_start;
        }
    }
    struct stat status {};
    json.key("current_segment");
    if (!current.empty() && ::stat(current.c_str(), &status) == 0) {
        json.begin_object().key("path").value(current);
        write_stamp(json, "start", current_start);
        json.key("bytes").value(static_cast<uint64_t>(status.st_size)).end_object();
    } else {
        json.null();
    }
    json.key("recorded").begin_object();
    write_stamp(json, "first", recording.first);
    write_stamp(json, "last", recording.last);
    json.key("files").value(uint64_t{recording.files}).key("bytes").value(recording.bytes);
    json.end_object();
    write_counters(json, capture.counters, counter_count);
    json.end_object();
}

// A whole number in [low, high], or nothing.
std::optional<int> bounded_number(const std::string& text, int low, int high) {
    int number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || number < low || number > high)
        return std::nullopt;
    return number;
}

}  // namespace

std::string JsonHandler::captures() {
    std::vector<CaptureView> views;
    server_.for_each_capture([&](const Capture& capture) {
        CaptureView& view = views.emplace_back();
        view.valid = capture.valid();
        view.permanent = capture.permanent();
        view.settings = capture.settings();
        view.session = capture.session();
        view.started = capture.started();
        const int64_t last = capture.counters().last_data_unix.load(std::memory_order_relaxed);
        if (last > 0) view.last_data = Stamp::from_unix(last);
        view.counters = read_counters(capture.counters());
    });
    const Stamp now = server_.now();

    Web::JsonWriter json;
    json.begin_object().key("version").value(version_);
    write_stamp(json, "now", now);
    json.key("endpoints").begin_object();
    json.key("metrics").value(endpoints_.metrics).key("hls").value(endpoints_.hls);
    json.key("xmltv").value(endpoints_.xmltv).key("json").value(endpoints_.json);
    json.key("page").value(endpoints_.page).end_object();
    json.key("captures").begin_array();
    for (const CaptureView& view : views)
        write_capture(json, view, now);
    json.end_array().key("epg_captures").begin_array();
    server_.for_each_epg_capture([&](const EPGCapture& capture) {
        json.begin_object().key("id").value(capture.id());
        write_source(json, capture.source());
        write_counters(json, read_counters(capture.counters()), epg_counter_count);
        json.end_object();
    });
    json.end_array().end_object();
    return json.text();
}

bool JsonHandler::guide(const std::string& query, std::string& out, std::string& problem) {
    bool has_start = false, has_hours = false;
    const std::string start_text = Web::URL::query_value(query, "start", has_start);
    const std::string hours_text = Web::URL::query_value(query, "hours", has_hours);
    const Stamp now = server_.now();
    const Stamp start = has_start ? Stamp(start_text) : now;
    if (!start.valid()) {
        problem = "Bad start time";
        return false;
    }
    const std::optional<int> hours = has_hours ? bounded_number(hours_text, 1, max_guide_hours)
                                               : std::optional<int>(default_guide_hours);
    if (!hours) {
        problem = "hours must be a whole number from 1 to " + std::to_string(max_guide_hours);
        return false;
    }
    const Stamp end = start + Duration(3600.0 * *hours);

    std::map<std::string, PlaylistSettings> settings;
    server_.for_each_capture([&](const Capture& capture) {
        settings.emplace(capture.id(), playlist_settings(capture.settings()));
    });
    std::vector<EPGServiceListing> listing;
    server_.epg_store().get_listing({}, start, end, listing);
    // One listing of each capture's segments serves all its events.
    std::map<std::string, std::vector<SegmentFile>> segments;
    const auto segments_of = [&](const std::string& id) -> const std::vector<SegmentFile>& {
        auto [at, added] = segments.try_emplace(id);
        if (added && settings.count(id) && list_segments(settings[id], at->second, true))
            for (SegmentFile& file : at->second)
                file.length();
        return at->second;
    };

    Web::JsonWriter json;
    json.begin_object();
    write_stamp(json, "now", now);
    write_stamp(json, "start", start);
    write_stamp(json, "end", end);
    json.key("services").begin_array();
    for (const EPGServiceListing& entry : listing) {
        const EPGServiceSummary& service = entry.service;
        json.begin_object().key("capture").value(service.id);
        json.key("service_id").value(int{service.service_id}).key("name").value(service.name);
        json.key("provider").value(service.provider).key("events").begin_array();
        for (const EPGEvent& event : entry.events) {
            const std::vector<SegmentFile>& files = segments_of(service.id);
            const bool playable = !files.empty() && playlist_possible(settings[service.id], files,
                                                                      event.start, event.end());
            json.begin_object().key("id").value(int{event.id});
            write_stamp(json, "start", event.start);
            write_stamp(json, "end", event.end());
            json.key("duration_seconds").value(event.duration.seconds());
            json.key("name").value(event.name).key("description").value(event.description);
            json.key("capture").value(playable).end_object();
        }
        json.end_array().end_object();
    }
    json.end_array().end_object();
    out = json.text();
    return true;
}

bool JsonHandler::handle_request(Web::HTTPMessage& request, Web::HTTPMessage& response,
                                 const Gantry::SSL::ClientDetails&) {
    if (request.method != "GET" && request.method != "HEAD")
        return Web::HTTPServer::error(response, 405, "Method not allowed");
    const std::string path = request.url.path();
    if (path == "/api/captures") {
        response.body = captures();
    } else if (path == "/api/guide") {
        std::string problem;
        if (!guide(request.url.query(), response.body, problem))
            return Web::HTTPServer::error(response, 400, problem);
    } else {
        return Web::HTTPServer::error(response, 404, "Not found");
    }
    response.headers.put_header("content-type", "application/json; charset=utf-8");
    response.headers.put_header("cache-control", "no-store");
    return true;
}

}  // namespace Corvid::Capture
