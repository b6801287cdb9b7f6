#include "capture/http_hls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>

#include "capture/capture_settings.h"
#include "capture/hls.h"
#include "gantry/log/stream.h"
#include "gantry/web/http_server.h"

namespace Corvid::Capture {

namespace Web = Gantry::Web;
using Gantry::Time::Stamp;

namespace {

bool read_number(std::string_view text, uint64_t& out) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

int parse_byte_range(const std::string& header, uint64_t size, uint64_t& first, uint64_t& last) {
    constexpr std::string_view unit = "bytes=";
    if (!header.starts_with(unit)) return 400;
    const std::string_view ranges = std::string_view(header).substr(unit.size());
    const size_t dash = ranges.find('-');
    if (dash == std::string_view::npos || ranges.find(',') != std::string_view::npos) return 400;
    const std::string_view from = ranges.substr(0, dash), to = ranges.substr(dash + 1);
    uint64_t a = 0, b = 0;
    if (from.empty()) {  // the last b bytes
        if (!read_number(to, b)) return 400;
        if (b == 0 || size == 0) return 416;
        first = b >= size ? 0 : size - b;
        last = size - 1;
        return 0;
    }
    if (!read_number(from, a) || (!to.empty() && !read_number(to, b))) return 400;
    if (!to.empty() && b < a) return 400;
    if (a >= size) return 416;
    first = a;
    last = to.empty() || b >= size ? size - 1 : b;
    return 0;
}

bool HlsHandler::handle_request(Web::HTTPMessage& request, Web::HTTPMessage& response,
                                const Gantry::SSL::ClientDetails&) {
    if (request.method != "GET" && request.method != "HEAD")
        return Web::HTTPServer::error(response, 405, "Method not allowed");
    const std::string rest = request.url.path().substr(std::string_view("/hls/").size());
    const size_t slash = rest.find('/');
    std::string id = rest.substr(0, slash);
    if (slash == std::string::npos) {
        if (!id.ends_with(".m3u8")) return Web::HTTPServer::error(response, 404, "Not found");
        id.resize(id.size() - 5);
    }
    if (!valid_capture_id(id)) return Web::HTTPServer::error(response, 400, "Bad capture id");
    if (slash == std::string::npos) return playlist(id, false, request, response);
    const std::string name = rest.substr(slash + 1);
    if (name == "iframes.m3u8") return playlist(id, true, request, response);
    return segment(id, name, request, response);
}

bool HlsHandler::playlist(const std::string& id, bool iframes, const Web::HTTPMessage& request,
                          Web::HTTPMessage& response) {
    const std::string query = request.url.query();
    bool has_start = false, has_end = false;
    const Stamp start(Web::URL::query_value(query, "start", has_start));
    const std::string end_text = Web::URL::query_value(query, "end", has_end);
    const Stamp end = has_end ? Stamp(end_text) : Stamp();
    if (!start.valid())
        return Web::HTTPServer::error(response, 400,
                                      has_start ? "Bad start time" : "start time required");
    if (has_end && !end.valid()) return Web::HTTPServer::error(response, 400, "Bad end time");
    if (end.valid() && end <= start)
        return Web::HTTPServer::error(response, 400, "end not after start");

    PlaylistSettings settings;
    if (!lookup_(id, settings)) return Web::HTTPServer::error(response, 404, "No such capture");
    HlsOptions options;
    options.iframes = iframes;
    options.uri_prefix = "/hls/" + id + "/";
    HlsPlaylist hls;
    if (!build_hls(settings, start, end, options, hls))
        return Web::HTTPServer::error(response, 404, "Nothing recorded in that range");
    response.body = hls.text();
    response.headers.put_header("content-type", "application/vnd.apple.mpegurl");
    if (hls.live) response.headers.put_header("cache-control", "no-cache");
    return true;
}

bool HlsHandler::segment(const std::string& id, const std::string& name,
                         const Web::HTTPMessage& request, Web::HTTPMessage& response) {
    PlaylistSettings settings;
    if (!lookup_(id, settings)) return Web::HTTPServer::error(response, 404, "No such capture");
    const SegmentNaming& naming = settings.naming;
    // The path is rebuilt from the start time the name gives; only a name that the capture would
    // itself have written survives the round trip.
    if (name.find('/') != std::string::npos || !naming.matches(name))
        return Web::HTTPServer::error(response, 404, "Not found");
    const Stamp start = naming.time_of(name);
    const std::string path = start.valid() ? naming.file_name(start) : std::string();
    if (path.empty() || (path != name && !path.ends_with("/" + name)))
        return Web::HTTPServer::error(response, 404, "Not found");

    Fd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return Web::HTTPServer::error(response, 404, "Not found");
    const auto size = static_cast<uint64_t>(status.st_size);

    uint64_t first = 0, last = size ? size - 1 : 0;
    const std::string range = request.headers.get_header("range");
    response.headers.put_header("content-type", "video/mp2t");
    response.headers.put_header("accept-ranges", "bytes");
    if (!range.empty()) {
        const int refusal = parse_byte_range(range, size, first, last);
        if (refusal == 416) {
            response.headers.put_header("content-range", "bytes */" + std::to_string(size));
            return Web::HTTPServer::error(response, 416, "Range Not Satisfiable");
        }
        if (refusal) return Web::HTTPServer::error(response, 400, "Bad Range header");
        last = std::min(last, first + max_range_ - 1);
        response.code = 206;
        response.reason = "Partial Content";
        response.headers.put_header("content-range", "bytes " + std::to_string(first) + "-" +
                                                         std::to_string(last) + "/" +
                                                         std::to_string(size));
    } else if (size > max_range_) {
        return Web::HTTPServer::error(response, 400, "Range required for a file this large");
    }
    const uint64_t length = size ? last - first + 1 : 0;
    if (request.method == "HEAD") {
        response.headers.put_header("content-length", std::to_string(length));
        return true;
    }
    response.body.resize(length);
    for (uint64_t done = 0; done < length;) {
        const ssize_t n = ::pread(file.get(), response.body.data() + done, length - done,
                                  static_cast<off_t>(first + done));
        if (n <= 0) {  // shortened under us (pruned): nothing half sent
            Gantry::Log::Error() << id << " HLS: can't read " << path << std::endl;
            response.body.clear();
            return Web::HTTPServer::error(response, 500, "Server Failure");
        }
        done += static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace Corvid::Capture
