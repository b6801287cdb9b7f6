#include "gantry/web/http_message.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace Gantry::Web {

namespace {

// Blank lines tolerated before a start line (some clients send a CRLF after a POST body).
constexpr int MAX_LEADING_BLANK_LINES = 8;
// Body bytes are read in blocks so that a claimed length costs memory only as data arrives.
constexpr size_t BODY_BLOCK = 64 * 1024;
constexpr size_t CHUNK_BLOCK = 4096;

enum class Line { OK, END, TOO_LONG };

// Reads up to LF, dropping a CR before it. consumed counts every byte taken from the stream.
Line read_line(std::streambuf& in, std::string& line, size_t max, size_t& consumed) {
    line.clear();
    for (;;) {
        const int c = in.sbumpc();
        if (c == std::char_traits<char>::eof()) return Line::END;
        ++consumed;
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line.size() > max ? Line::TOO_LONG : Line::OK;
        }
        // One more than the limit may be a CR that the LF will drop.
        if (line.size() > max) return Line::TOO_LONG;
        line.push_back(static_cast<char>(c));
    }
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A field name is a token: no blanks, controls or separators that would make it ambiguous.
bool valid_field_name(std::string_view name) {
    if (name.empty()) return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte >= 0x7F || c == ':' || c == '"' || c == '(' || c == ')' ||
            c == ',' || c == '/' || c == ';' || c == '<' || c == '=' || c == '>' || c == '?' ||
            c == '@' || c == '[' || c == '\\' || c == ']' || c == '{' || c == '}')
            return false;
    }
    return true;
}

// Decimal content-length; false when it is not a plain number or does not fit.
bool parse_length(std::string_view text, uint64_t& value) {
    text = trim(text);
    if (text.empty() || text.size() > 18) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

bool is_chunked(const MIMEHeaders& headers) {
    return lower(trim(headers.get_header("transfer-encoding"))) == "chunked";
}

// Header fields up to the blank line, within the limits; used for the head and for trailers.
ReadStatus read_fields(std::streambuf& in, MIMEHeaders* headers, const HTTPLimits& limits) {
    std::string line;
    size_t bytes = 0, fields = 0;
    for (;;) {
        size_t consumed = 0;
        const Line result = read_line(in, line, limits.max_line, consumed);
        if (result == Line::END) return ReadStatus::FAILED;
        if (result == Line::TOO_LONG) return ReadStatus::BAD_REQUEST;
        bytes += consumed;
        if (bytes > limits.max_header_bytes) return ReadStatus::BAD_REQUEST;
        if (line.empty()) return ReadStatus::OK;
        if (is_blank(line.front())) {
            // Continuation of the previous value.
            if (fields == 0) return ReadStatus::BAD_REQUEST;
            if (headers) {
                auto& last = *headers->children().back();
                last.set_content(last.content() + " " + std::string(trim(line)));
            }
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string::npos) return ReadStatus::BAD_REQUEST;
        const std::string_view name = std::string_view(line).substr(0, colon);
        if (!valid_field_name(name)) return ReadStatus::BAD_REQUEST;
        if (++fields > limits.max_header_lines) return ReadStatus::BAD_REQUEST;
        if (headers)
            headers->add_header(lower(name),
                                std::string(trim(std::string_view(line).substr(colon + 1))));
    }
}

}  // namespace

const char* to_string(ReadStatus status) {
    switch (status) {
        case ReadStatus::OK:
            return "OK";
        case ReadStatus::CLOSED:
            return "closed";
        case ReadStatus::FAILED:
            return "failed";
        case ReadStatus::BAD_REQUEST:
            return "bad request";
        case ReadStatus::TOO_LARGE:
            return "too large";
    }
    return "?";
}

ReadStatus HTTPMessage::read(std::istream& in, bool request, const HTTPLimits& limits) {
    const ReadStatus head = read_head(in, request, limits);
    if (head != ReadStatus::OK) return head;
    return read_body(in, request, limits);
}

ReadStatus HTTPMessage::read_head(std::istream& in, bool request, const HTTPLimits& limits) {
    headers.clear_children();
    body.clear();
    std::streambuf* buffer = in.rdbuf();
    if (!buffer) return ReadStatus::FAILED;

    std::string line;
    size_t consumed = 0;
    for (int blank = 0;; ++blank) {
        const Line result = read_line(*buffer, line, limits.max_line, consumed);
        if (result == Line::END) {
            in.setstate(std::ios::eofbit | std::ios::failbit);
            // Nothing but blank lines before the end: the peer simply closed.
            return line.empty() ? ReadStatus::CLOSED : ReadStatus::FAILED;
        }
        if (result == Line::TOO_LONG) return ReadStatus::BAD_REQUEST;
        if (!line.empty()) break;
        if (blank >= MAX_LEADING_BLANK_LINES) return ReadStatus::BAD_REQUEST;
    }

    if (line.front() == '$') {
        method = "$";
        url = URL();
        version = "HTTP/1.0";
        return ReadStatus::OK;
    }

    const std::string_view text = line;
    const size_t first = text.find(' ');
    const std::string_view one = text.substr(0, first);
    const std::string_view rest =
        first == std::string_view::npos ? std::string_view() : text.substr(first + 1);
    const size_t second = rest.find(' ');
    const std::string_view two = rest.substr(0, second);
    const std::string_view three =
        second == std::string_view::npos ? std::string_view() : rest.substr(second + 1);
    if (request) {
        // Without a method the message could not even be told from a response.
        if (one.empty()) return ReadStatus::BAD_REQUEST;
        method = std::string(one);
        url = URL(std::string(two));
        version = std::string(three);
    } else {
        method.clear();
        version = std::string(one);
        uint64_t status = 0;
        if (!parse_length(two, status) || status > 999) return ReadStatus::BAD_REQUEST;
        code = static_cast<int>(status);
        reason = std::string(three);
    }

    const ReadStatus fields = read_fields(*buffer, &headers, limits);
    if (fields != ReadStatus::OK) return fields;

    // Framing is checked now, so that an oversized or ambiguous body is refused before any of it
    // is read (and before a client waiting for "100 Continue" sends it).
    if (headers.has_header("transfer-encoding")) {
        if (!is_chunked(headers)) return request ? ReadStatus::BAD_REQUEST : ReadStatus::OK;
        return ReadStatus::OK;
    }
    if (headers.has_header("content-length")) {
        uint64_t length = 0;
        std::string first_value;
        for (const auto& field : headers.children()) {
            if (field->name() != "content-length") continue;
            uint64_t value = 0;
            // Differing lengths would let two readers disagree where the message ends.
            if (!parse_length(field->content(), value)) return ReadStatus::BAD_REQUEST;
            if (!first_value.empty() && value != length) return ReadStatus::BAD_REQUEST;
            length = value;
            first_value = "set";
        }
        if (length > limits.max_body) return ReadStatus::TOO_LARGE;
    }
    return ReadStatus::OK;
}

bool HTTPMessage::expects_body(bool request) const {
    if (method == "$") return false;
    if (headers.has_header("transfer-encoding") && is_chunked(headers)) return true;
    if (headers.has_header("content-length"))
        return trim(headers.get_header("content-length")) != "0";
    if (request) return false;
    return !(code / 100 == 1 || code == 204 || code == 304);
}

ReadStatus HTTPMessage::read_body(std::istream& in, bool request, const HTTPLimits& limits) {
    body.clear();
    if (method == "$") return ReadStatus::OK;
    std::streambuf* buffer = in.rdbuf();
    if (!buffer) return ReadStatus::FAILED;

    const auto fail = [&in] {
        in.setstate(std::ios::eofbit | std::ios::failbit);
        return ReadStatus::FAILED;
    };

    if (headers.has_header("transfer-encoding") && is_chunked(headers)) {
        std::string line;
        for (;;) {
            size_t consumed = 0;
            const Line result = read_line(*buffer, line, limits.max_line, consumed);
            if (result == Line::END) return fail();
            if (result == Line::TOO_LONG) return ReadStatus::BAD_REQUEST;
            std::string_view size_text = line;
            while (!size_text.empty() && is_blank(size_text.front()))
                size_text.remove_prefix(1);
            uint64_t size = 0;
            size_t digits = 0;
            while (digits < size_text.size() && hex_digit(size_text[digits]) >= 0) {
                if (size >> 56) return ReadStatus::BAD_REQUEST;  // would overflow 64 bits
                size = size << 4 | static_cast<uint64_t>(hex_digit(size_text[digits]));
                ++digits;
            }
            if (digits == 0) return ReadStatus::BAD_REQUEST;
            const std::string_view after = trim(size_text.substr(digits));
            if (!after.empty() && after.front() != ';') return ReadStatus::BAD_REQUEST;
            if (size == 0) break;
            if (size > limits.max_body - body.size()) return ReadStatus::TOO_LARGE;
            while (size > 0) {
                const size_t block = static_cast<size_t>(std::min<uint64_t>(size, CHUNK_BLOCK));
                const size_t old = body.size();
                body.resize(old + block);
                const auto got =
                    buffer->sgetn(body.data() + old, static_cast<std::streamsize>(block));
                if (got != static_cast<std::streamsize>(block)) return fail();
                size -= block;
            }
            consumed = 0;
            const Line end = read_line(*buffer, line, limits.max_line, consumed);
            if (end == Line::END) return fail();
            if (end == Line::TOO_LONG || !line.empty()) return ReadStatus::BAD_REQUEST;
        }
        const ReadStatus trailers = read_fields(*buffer, nullptr, limits);
        if (trailers == ReadStatus::FAILED) return fail();
        return trailers;
    }

    if (headers.has_header("content-length")) {
        uint64_t length = 0;
        if (!parse_length(headers.get_header("content-length"), length))
            return ReadStatus::BAD_REQUEST;
        if (length > limits.max_body) return ReadStatus::TOO_LARGE;
        while (body.size() < length) {
            const size_t block =
                static_cast<size_t>(std::min<uint64_t>(length - body.size(), BODY_BLOCK));
            const size_t old = body.size();
            body.resize(old + block);
            const auto got = buffer->sgetn(body.data() + old, static_cast<std::streamsize>(block));
            if (got != static_cast<std::streamsize>(block)) {
                body.resize(old + static_cast<size_t>(std::max<std::streamsize>(got, 0)));
                return fail();
            }
        }
        return ReadStatus::OK;
    }

    if (request || !expects_body(false)) return ReadStatus::OK;
    // A response without framing runs to the end of the stream.
    for (;;) {
        const size_t old = body.size();
        body.resize(old + BODY_BLOCK);
        const auto got = buffer->sgetn(body.data() + old, static_cast<std::streamsize>(BODY_BLOCK));
        body.resize(old + static_cast<size_t>(std::max<std::streamsize>(got, 0)));
        if (body.size() > limits.max_body) return ReadStatus::TOO_LARGE;
        if (got < static_cast<std::streamsize>(BODY_BLOCK)) break;
    }
    in.setstate(std::ios::eofbit);
    return ReadStatus::OK;
}

std::string HTTPMessage::start_line() const {
    if (is_request()) return method + " " + url.str() + " " + version;
    return version + " " + std::to_string(code) + " " + reason;
}

void HTTPMessage::write(std::string& out, bool with_body) const {
    out += start_line();
    out += "\r\n";
    headers.write(out);
    if (!headers.has_header("content-length") &&
        !(headers.has_header("transfer-encoding") && is_chunked(headers))) {
        out += "Content-Length: ";
        out += std::to_string(body.size());
        out += "\r\n";
    }
    out += "\r\n";
    if (with_body) out += body;
}

void HTTPMessage::write(std::ostream& out, bool with_body) const {
    std::string text;
    write(text, with_body);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::string HTTPMessage::to_string(bool with_body) const {
    std::string text;
    write(text, with_body);
    return text;
}

void HTTPMessage::write_log_form(std::ostream& out) const {
    out << start_line() << '\n';
    for (const auto& field : headers.children())
        out << field->name() << ": " << field->content() << '\n';
    const bool binary = std::any_of(body.begin(), body.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\t' && c != '\r' && c != '\n') || byte == 0x7F;
    });
    if (binary)
        out << "[Binary data, " << body.size() << " bytes]\n";
    else
        out << body;
}

std::ostream& operator<<(std::ostream& out, const HTTPMessage& message) {
    message.write_log_form(out);
    return out;
}

}  // namespace Gantry::Web
