// An HTTP/1.0 or HTTP/1.1 request or response, read from and written to streams.
//
// Reading is bounded by HTTPLimits in every dimension a peer controls (line length, number and
// total size of header lines, body size, chunk sizes), so a hostile peer can make the reader
// refuse a message but never allocate without bound. Limits do not change how a well-formed
// message within them is read.
#pragma once

#include <cstddef>
#include <istream>
#include <ostream>
#include <string>

#include "gantry/web/mime_headers.h"
#include "gantry/web/url.h"

namespace Gantry::Web {

struct HTTPLimits {
    size_t max_line = 8000;               // start line, header line or chunk-size line
    size_t max_header_lines = 100;        // header (or trailer) fields of one message
    size_t max_header_bytes = 64 * 1024;  // the header block, line ends included
    size_t max_body = 16 * 1024 * 1024;   // body bytes, chunked or not
};

enum class ReadStatus {
    OK,
    CLOSED,       // the stream ended before the first byte of a message
    FAILED,       // read error, timeout, or end of stream inside the message
    BAD_REQUEST,  // malformed, or over a line or header limit (answered with 400)
    TOO_LARGE,    // the body is over its limit (answered with 413)
};

const char* to_string(ReadStatus status);

class HTTPMessage {
  public:
    HTTPMessage() = default;

    // Request method ("GET", "POST", "$"...); empty for a response.
    std::string method;
    URL url;
    std::string version = "HTTP/1.1";
    int code = 200;
    std::string reason = "OK";
    MIMEHeaders headers;
    std::string body;

    bool is_request() const { return !method.empty(); }

    // Reads one whole message: read_head, then read_body.
    ReadStatus read(std::istream& in, bool request, const HTTPLimits& limits = {});

    // Start line and header fields. Lines end at LF (a CR before it is dropped). A request start
    // line is method, target and version separated by spaces; a response's is version, code and
    // reason. A start line beginning with '$' ends the message at once: method "$", version
    // "HTTP/1.0", no headers, no body. Field names are stored in lower case; a line starting
    // with a blank continues the previous value.
    ReadStatus read_head(std::istream& in, bool request, const HTTPLimits& limits = {});

    // Whether the head announces a body (content-length, or chunked transfer-encoding); a
    // response without either has one running to the end of the stream.
    bool expects_body(bool request) const;

    // The body the head announces: exactly content-length bytes, or chunks (hexadecimal sizes,
    // extensions after ';' ignored) up to a zero size and the trailer fields, which are read and
    // dropped. A request with neither header has no body.
    ReadStatus read_body(std::istream& in, bool request, const HTTPLimits& limits = {});

    // "GET /path HTTP/1.1" or "HTTP/1.1 200 OK".
    std::string start_line() const;

    // Start line, headers, "Content-Length" unless a length or chunked transfer-encoding field is
    // present, a blank line and, with with_body, the body. Lines end in CRLF.
    void write(std::string& out, bool with_body = true) const;
    void write(std::ostream& out, bool with_body = true) const;
    std::string to_string(bool with_body = true) const;

    // For logs: start line, headers, then the body or "[Binary data, N bytes]" when the body
    // holds bytes that are not printable.
    void write_log_form(std::ostream& out) const;
};

std::ostream& operator<<(std::ostream& out, const HTTPMessage& message);

}  // namespace Gantry::Web
