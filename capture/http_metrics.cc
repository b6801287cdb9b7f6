#include "capture/http_metrics.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <vector>

#include "capture/control.h"
#include "capture/epg_capture.h"
#include "capture/server.h"
#include "gantry/web/http_server.h"

namespace Corvid::Capture {

namespace Time = Gantry::Time;

namespace {

std::string label(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// One family: its samples, then written with HELP and TYPE in front.
struct Family {
    const char* name;
    const char* type;
    const char* help;
    std::vector<std::pair<std::string, double>> samples;  // label set, value
};

void write(std::ostream& out, const Family& family) {
    out << "# HELP " << family.name << ' ' << family.help << "\n# TYPE " << family.name << ' '
        << family.type << '\n';
    for (const auto& [labels, value] : family.samples) {
        out << family.name;
        if (!labels.empty()) out << '{' << labels << '}';
        out << ' ';
        if (value == std::floor(value) && std::fabs(value) < 1e15)
            out << static_cast<int64_t>(value);
        else
            out << value;
        out << '\n';
    }
}

// The segment whose time slot holds now: slots are multiples of the length from 00:00 UTC.
Time::Stamp segment_start(Time::Stamp now, Time::Duration length) {
    const int64_t unix = now.unix_seconds();
    const int64_t midnight = unix - unix % 86400;
    const auto step = static_cast<int64_t>(length.seconds());
    if (step <= 0) return now;
    return Time::Stamp::from_unix(midnight + (unix - midnight) / step * step);
}

}  // namespace

double process_start_time() {
    static const double start = [] {
        // Field 22 of /proc/self/stat counts clock ticks since boot; /proc/stat gives the boot.
        std::ifstream stat("/proc/self/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        const size_t paren = text.rfind(')');
        double boot = 0, ticks = 0;
        if (paren != std::string::npos) {
            std::istringstream fields(text.substr(paren + 2));
            std::string field;
            for (int i = 3; i <= 22 && fields >> field; i++)
                if (i == 22) ticks = std::stod(field);
        }
        std::ifstream global("/proc/stat");
        for (std::string key; global >> key;)
            if (key == "btime") global >> boot;
        const long hz = ::sysconf(_SC_CLK_TCK);
        if (boot > 0 && ticks > 0 && hz > 0) return boot + ticks / static_cast<double>(hz);
        return static_cast<double>(Time::Stamp::now().unix_seconds());
    }();
    return start;
}

std::string MetricsHandler::scrape() {
    Family datagrams{"cv_capture_datagrams_total", "counter", "Datagrams received.", {}},
        bytes{"cv_capture_received_bytes_total", "counter", "Bytes in the datagrams received.", {}},
        ring{"cv_capture_ring_drops_total",
             "counter",
             "Datagrams dropped because the writer's queue was full.",
             {}},
        kernel{"cv_capture_kernel_drops_total",
               "counter",
               "Datagrams the kernel dropped from the socket buffer.",
               {}},
        cc{"cv_capture_continuity_errors_total", "counter", "Continuity counter gaps.", {}},
        rtp{"cv_capture_rtp_lost_total", "counter", "RTP packets missing from the sequence.", {}},
        files{"cv_capture_files_opened_total", "counter", "Segment files opened.", {}},
        write_errors{"cv_capture_write_errors_total",
                     "counter",
                     "Failed opens and writes of segment files.",
                     {}},
        capturing{"cv_capture_capturing",
                  "gauge",
                  "1 while the capture records (always in auto mode).",
                  {}},
        segment{"cv_capture_segment_start_timestamp_seconds",
                "gauge",
                "Start of the current segment file, when it exists.",
                {}},
        age{"cv_capture_segment_age_seconds", "gauge", "Age of the current segment file.", {}},
        written{"cv_capture_segment_last_write_age_seconds",
                "gauge",
                "Seconds since the current segment file was last written.",
                {}};
    const Time::Stamp now = clock_();
    server_.for_each_capture([&](const Capture& capture) {
        const std::string id = "capture=\"" + label(capture.id()) + "\"";
        const CaptureCounters& c = capture.counters();
        const auto value = [](const std::atomic<uint64_t>& counter) {
            return static_cast<double>(counter.load(std::memory_order_relaxed));
        };
        datagrams.samples.emplace_back(id, value(c.datagrams));
        bytes.samples.emplace_back(id, value(c.bytes));
        ring.samples.emplace_back(id, value(c.ring_drops));
        kernel.samples.emplace_back(id, value(c.kernel_drops));
        cc.samples.emplace_back(id, value(c.cc_errors));
        rtp.samples.emplace_back(id, value(c.rtp_lost));
        files.samples.emplace_back(id, value(c.files_opened));
        write_errors.samples.emplace_back(id, value(c.write_errors));
        const CaptureSettings& settings = capture.settings();
        const bool recording = !settings.external || capture.capturing();
        capturing.samples.emplace_back(id, recording ? 1 : 0);
        if (!recording || settings.external) return;  // external sessions name their own files
        const Time::Stamp start = segment_start(now, settings.segment_length);
        struct stat status {};
        if (::stat(settings.naming.file_name(start).c_str(), &status) != 0) return;
        segment.samples.emplace_back(id, static_cast<double>(start.unix_seconds()));
        age.samples.emplace_back(id, (now - start).seconds());
        written.samples.emplace_back(
            id, std::max<double>(0, static_cast<double>(now.unix_seconds() - status.st_mtime)));
    });

    Family epg{"cv_epg_capture_up", "gauge", "1 for each running EPG capture.", {}},
        epg_datagrams{"cv_epg_capture_datagrams_total",
                      "counter",
                      "Datagrams an EPG capture received for decoding.",
                      {}},
        epg_ring{"cv_epg_capture_ring_drops_total",
                 "counter",
                 "Datagrams an EPG capture dropped because its queue was full.",
                 {}},
        epg_kernel{"cv_epg_capture_kernel_drops_total",
                   "counter",
                   "Datagrams the kernel dropped from an EPG capture's socket buffer.",
                   {}};
    server_.for_each_epg_capture([&](const EPGCapture& capture) {
        const std::string id = "epg_capture=\"" + label(capture.id()) + "\"";
        const CaptureCounters& c = capture.counters();
        epg.samples.emplace_back(id, 1);
        epg_datagrams.samples.emplace_back(id, static_cast<double>(c.datagrams.load()));
        epg_ring.samples.emplace_back(id, static_cast<double>(c.ring_drops.load()));
        epg_kernel.samples.emplace_back(id, static_cast<double>(c.kernel_drops.load()));
    });

    std::vector<EPGServiceListing> guide;
    server_.epg_store().get_all(guide);
    double events = 0;
    for (const auto& listing : guide)
        events += static_cast<double>(listing.events.size());
    Family services{"cv_guide_services", "gauge", "Services in the guide.", {{"", guide.size()}}},
        guide_events{"cv_guide_events", "gauge", "Events in the guide.", {{"", events}}},
        start{"process_start_time_seconds",
              "gauge",
              "Start time of the process since 1970.",
              {{"", process_start_time()}}},
        build{"cv_build_info",
              "gauge",
              "The program's version.",
              {{"version=\"" + label(version_) + "\"", 1}}};

    Family requests{"cv_requests_total", "counter", "Requests handled.", {}},
        faults{"cv_request_faults_total", "counter", "Requests answered with a fault.", {}};
    for (const auto& [key, count] : server_.control().request_counts().snapshot()) {
        const std::string labels =
            "request=\"" + label(key.first) + "\",transport=\"" + label(key.second) + "\"";
        requests.samples.emplace_back(labels, static_cast<double>(count.requests));
        faults.samples.emplace_back(labels, static_cast<double>(count.faults));
    }

    std::ostringstream out;
    out.precision(15);
    for (const Family* family :
         {&datagrams, &bytes,         &ring,      &kernel,     &cc,       &rtp,
          &files,     &write_errors,  &capturing, &segment,    &age,      &written,
          &epg,       &epg_datagrams, &epg_ring,  &epg_kernel, &services, &guide_events,
          &requests,  &faults,        &start,     &build})
        write(out, *family);
    return out.str();
}

bool MetricsHandler::handle_request(Gantry::Web::HTTPMessage& request,
                                    Gantry::Web::HTTPMessage& response,
                                    const Gantry::SSL::ClientDetails&) {
    if (request.method != "GET" && request.method != "HEAD")
        return Gantry::Web::HTTPServer::error(response, 405, "Method not allowed");
    response.body = scrape();
    response.headers.put_header("content-type", "text/plain; version=0.0.4; charset=utf-8");
    return true;
}

}  // namespace Corvid::Capture
