#include "gantry/web/http_server.h"

#include <poll.h>

#include <cerrno>
#include <ctime>

#include "gantry/log/stream.h"
#include "gantry/net/socket_error.h"
#include "gantry/net/tcp_stream.h"

namespace Gantry::Web {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t STREAM_BUFFER = 1024;
// How often an idle connection past its give-way time looks for a waiting client.
constexpr auto GIVE_WAY_POLL = std::chrono::milliseconds(50);
// After refusing a request, unread input is drained for a while before closing, so that the
// client reads the refusal instead of a connection reset.
constexpr auto DRAIN_TIME = std::chrono::seconds(1);
constexpr size_t DRAIN_LIMIT = 64 * 1024 * 1024;

bool lower_equals(const std::string& text, const char* lower) {
    size_t i = 0;
    for (; i < text.size() && lower[i]; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return i == text.size() && lower[i] == '\0';
}

}  // namespace

std::string http_date(time_t when) {
    static constexpr const char* DAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    tm utc{};
    ::gmtime_r(&when, &utc);
    // Names from fixed tables: strftime's %a and %b would follow the process locale.
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", DAYS[utc.tm_wday % 7],
                  utc.tm_mday, MONTHS[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                  utc.tm_sec);
    return text;
}

std::string http_date() {
    // One formatting per second per thread.
    thread_local time_t cached_second = -1;
    thread_local std::string cached;
    const time_t now = ::time(nullptr);
    if (now != cached_second) {
        cached = http_date(now);
        cached_second = now;
    }
    return cached;
}

HTTPServer::HTTPServer(Net::IPAddress address, uint16_t port, std::string server_id,
                       const Options& options)
    : SSL::TCPServer(options.tls, address, port, options.backlog, options.minimum_spare,
                     options.max_workers),
      server_id_(std::move(server_id)),
      options_(options) {}

HTTPServer::HTTPServer(Net::IPAddress address, uint16_t port, std::string server_id, int timeout)
    : HTTPServer(address, port, std::move(server_id), [timeout] {
          Options options;
          options.timeout = timeout;
          return options;
      }()) {}

HTTPServer::~HTTPServer() {
    shutdown();
}

bool HTTPServer::error(HTTPMessage& response, int code, const std::string& reason) {
    Log::Error() << "HTTP error: " << code << " " << reason << std::endl;
    response.code = code;
    response.reason = reason;
    return true;
}

void HTTPServer::connection_finished(const SSL::ClientDetails&) {}

bool HTTPServer::wait_for_request(Net::TCPSocket& socket, const SSL::ClientDetails& client) {
    const auto start = Clock::now();
    const auto limit = start + std::chrono::seconds(options_.timeout);
    const auto give_way_at = start + options_.idle_give_way;
    for (;;) {
        const auto now = Clock::now();
        if (options_.timeout > 0 && now >= limit) {
            Log::Detail() << "Connection from " << client.end_point << " idle for "
                          << options_.timeout << " seconds: closed" << std::endl;
            return false;
        }
        Clock::time_point wake_at;
        if (now < give_way_at) {
            wake_at = give_way_at;
        } else {
            if (claim_waiting_client()) {
                Log::Detail() << "Idle connection from " << client.end_point
                              << " closed for a waiting client" << std::endl;
                return false;
            }
            wake_at = now + GIVE_WAY_POLL;
        }
        if (options_.timeout > 0 && wake_at > limit) wake_at = limit;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake_at - now);
        pollfd entry{socket.fd(), POLLIN, 0};
        const int rc = ::poll(&entry, 1, static_cast<int>(wait.count()) + 1);
        // Readable, closed or failed: the read that follows tells which.
        if (rc > 0 || (rc < 0 && errno != EINTR)) return true;
    }
}

void HTTPServer::refuse(Net::TCPSocket& socket, Net::TCPStream& stream, const HTTPMessage& request,
                        int code, const std::string& reason) {
    HTTPMessage response;
    response.version = "HTTP/1.1";
    if (request.version == "HTTP/1.0") response.version = request.version;
    response.headers.add_header("server", server_id_);
    response.headers.add_header("date", http_date());
    response.headers.add_header("connection", "close");
    error(response, code, reason);
    std::string text;
    response.write(text);
    if (socket.raw_write(text.data(), text.size()) != static_cast<ssize_t>(text.size())) return;
    // Closing with unread input would reset the connection and could destroy the response
    // before the client reads it: stop sending, then take in what the client still sends.
    socket.shutdown_write();
    stream.buffer().set_read_deadline(Clock::now() + DRAIN_TIME);
    char sink[16384];
    size_t drained = 0;
    while (drained < DRAIN_LIMIT) {
        const auto got = stream.rdbuf()->sgetn(sink, sizeof sink);
        if (got <= 0) break;
        drained += static_cast<size_t>(got);
    }
}

void HTTPServer::process(SSL::TCPSocket& socket, const SSL::ClientDetails& client) {
    socket.set_timeout(options_.timeout);
    Net::TCPStream stream(socket, STREAM_BUFFER, STREAM_BUFFER);
    bool persistent = false;
    std::string output;
    try {
        for (;;) {
            if (stream.buffer().buffered() == 0 && !wait_for_request(socket, client)) break;
            if (options_.timeout > 0)
                stream.buffer().set_read_deadline(Clock::now() +
                                                  std::chrono::seconds(options_.timeout));
            HTTPMessage request;
            ReadStatus status = request.read_head(stream, true, options_.limits);
            if (status == ReadStatus::OK && request.expects_body(true) &&
                request.version == "HTTP/1.1" &&
                lower_equals(request.headers.get_header("expect"), "100-continue")) {
                // The client waits for leave to send its body.
                static constexpr char CONTINUE[] = "HTTP/1.1 100 Continue\r\n\r\n";
                socket.write(CONTINUE, sizeof CONTINUE - 1);
            }
            if (status == ReadStatus::OK) status = request.read_body(stream, true, options_.limits);
            stream.buffer().clear_read_deadline();

            if (status == ReadStatus::CLOSED || status == ReadStatus::FAILED) {
                if (persistent)
                    Log::Detail() << "Persistent connection from " << client.end_point
                                  << " now closed" << std::endl;
                else
                    Log::Error() << "Can't read HTTP request from socket" << std::endl;
                break;
            }
            if (status == ReadStatus::BAD_REQUEST) {
                refuse(socket, stream, request, 400, "Bad Request");
                break;
            }
            if (status == ReadStatus::TOO_LARGE) {
                refuse(socket, stream, request, 413, "Request Entity Too Large");
                break;
            }

            Log::Detail() << request.version << " request: " << request.method << " from "
                          << client.end_point << " for " << request.url << std::endl;

            HTTPMessage response;
            response.version = request.version;
            response.headers.add_header("server", server_id_);
            response.headers.add_header("date", http_date());
            response.code = 200;
            response.reason = "OK";

            const bool http11 = request.version == "HTTP/1.1";
            const bool http10 = request.version == "HTTP/1.0";
            bool keep = false;
            if (!http10 && !http11) {
                response.version = "HTTP/1.1";
                error(response, 505, "HTTP Version not supported");
            } else {
                const std::string& connection = request.headers.get_header("connection");
                keep = http11 ? !lower_equals(connection, "close")
                              : lower_equals(connection, "keep-alive");
                if (http10 && keep) response.headers.add_header("connection", "Keep-Alive");
                if (keep) {
                    if (persistent)
                        Log::Detail() << request.version << " persistent connection from "
                                      << client.end_point << " continues" << std::endl;
                    else
                        Log::Detail()
                            << request.version << " persistent connection started" << std::endl;
                } else if (persistent) {
                    Log::Detail() << request.version << " persistent connection from "
                                  << client.end_point << " closed" << std::endl;
                } else {
                    Log::Detail() << request.version << " non-persistent connection" << std::endl;
                }
                persistent = keep;
                if (!handle_request(request, response, client)) {
                    Log::Error() << "Handler failed - sending 500" << std::endl;
                    error(response, 500, "Server Failure");
                }
            }
            // An HTTP/1.1 client assumes the connection stays open unless told otherwise.
            if (!keep && response.version == "HTTP/1.1" &&
                !response.headers.has_header("connection"))
                response.headers.add_header("connection", "close");

            Log::Detail() << "Response: " << response.start_line() << std::endl;
            output.clear();
            response.write(output, request.method != "HEAD");
            try {
                socket.write(output.data(), output.size());
            } catch (const Net::SocketError&) {
                Log::Error() << "HTTP response failed" << std::endl;
                break;
            }
            if (!keep) break;
        }
    } catch (const Net::SocketError& failure) {
        Log::Error() << failure.what() << std::endl;
    }
    connection_finished(client);
}

}  // namespace Gantry::Web
