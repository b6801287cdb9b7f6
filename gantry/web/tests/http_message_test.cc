#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>

#include "gantry/web/http_message.h"

namespace Gantry::Web {

void PrintTo(ReadStatus status, std::ostream* out) {
    *out << to_string(status);
}

namespace {

ReadStatus read_request(const std::string& text, HTTPMessage& message,
                        const HTTPLimits& limits = {}) {
    std::istringstream in(text);
    return message.read(in, true, limits);
}

TEST(HTTPMessageReadTest, RequestLineHeadersAndContinuation) {
    HTTPMessage request;
    ASSERT_EQ(read_request("GET /capture?id=7 HTTP/1.1\r\nHost: example\r\n"
                           "X-Long:   first part\r\n\t  second part\r\nConnection:close\n\r\n",
                           request),
              ReadStatus::OK);
    EXPECT_EQ(request.method + " " + request.url.str() + " " + request.version,
              "GET /capture?id=7 HTTP/1.1");
    ASSERT_EQ(request.headers.children().size(), 3u);
    EXPECT_EQ(request.headers.get_child(0).name(), "host");
    EXPECT_EQ(request.headers.get_header("x-long"), "first part second part");
    EXPECT_EQ(request.headers.get_header("Connection"), "close");
}

// Each body ends exactly where its framing says: what is left in the stream is the next message
// (a body is read whatever the method, so its bytes are never taken for the next request).
TEST(HTTPMessageReadTest, BodiesEndWhereTheirFramingSays) {
    const struct {
        bool request;
        std::string text, body, rest;
    } cases[] = {
        {true, "POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nhelloEXTRA", "hello", "EXTRA"},
        // Extensions after ';', upper-case hex, several chunks, and trailers that are dropped.
        {true,
         "POST /x HTTP/1.1\r\ntransfer-encoding: Chunked\r\n\r\n4;name=value\r\nabcd\r\n"
         "A\r\n0123456789\r\n0\r\nX-Trailer: t\r\n\r\nGET /next HTTP/1.1\r\n\r\n",
         "abcd0123456789", "GET /next HTTP/1.1\r\n\r\n"},
        {true, "PUT /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET / HTTP/1.1\r\n\r\n", "abc",
         "GET / HTTP/1.1\r\n\r\n"},
        {false, "HTTP/1.1 404 Not found\r\nContent-Length: 3\r\n\r\nabcdef", "abc", "def"},
        {false, "HTTP/1.0 200 OK\r\n\r\nall of the rest", "all of the rest", ""},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        HTTPMessage message;
        ASSERT_EQ(message.read(in, c.request), ReadStatus::OK) << c.text;
        EXPECT_EQ(message.body, c.body) << c.text;
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.rest) << c.text;
        EXPECT_FALSE(message.headers.has_header("x-trailer"));
        EXPECT_EQ(message.is_request(), c.request) << c.text;
    }
    HTTPMessage response;
    std::istringstream in("HTTP/1.1 404 Not found\r\n\r\n");
    ASSERT_EQ(response.read(in, false), ReadStatus::OK);
    EXPECT_EQ(response.code, 404);
    EXPECT_EQ(response.reason, "Not found");
}

// Ends, truncation, malformed input and every limit a peer could push (bodies limited to 10
// bytes here): each refusal happens before the excess is stored. The header-count and
// header-size limits are checked on the wire by the server tests.
TEST(HTTPMessageReadTest, EndsMalformedAndOverLimit) {
    const std::string target(8000 - 14, 'a');  // start line of exactly 8000
    const std::string chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string trailers = chunked + "0\r\n";
    for (int i = 0; i < 101; ++i)
        trailers += "T: v\r\n";
    const struct {
        std::string text;
        ReadStatus status;
    } cases[] = {
        {"", ReadStatus::CLOSED},
        {"\r\n", ReadStatus::CLOSED},
        {"\r\n\r\nGET / HTTP/1.0\r\n\r\n", ReadStatus::OK},  // leading blank lines skipped
        {"GET / HT", ReadStatus::FAILED},
        {"GET / HTTP/1.1\r\nHost: x\r\n", ReadStatus::FAILED},
        {"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nshort", ReadStatus::FAILED},
        {chunked + "5\r\nab", ReadStatus::FAILED},
        {"GET /" + target + " HTTP/1.1\r\n\r\n", ReadStatus::OK},
        {"GET /" + target + "b HTTP/1.1\r\n\r\n", ReadStatus::BAD_REQUEST},
        {"GET / HTTP/1.1\r\nX: " + std::string(9000, 'v') + "\r\n\r\n", ReadStatus::BAD_REQUEST},
        {std::string(100, '\n') + "GET / HTTP/1.1\r\n\r\n", ReadStatus::BAD_REQUEST},
        // Without a method a request could not even be told from a response.
        {" /x HTTP/1.1\r\n\r\n", ReadStatus::BAD_REQUEST},
        {"GET / HTTP/1.1\r\nno colon here\r\n\r\n", ReadStatus::BAD_REQUEST},
        {"GET / HTTP/1.1\r\nBad Name: x\r\n\r\n", ReadStatus::BAD_REQUEST},
        {"GET / HTTP/1.1\r\n continued: first\r\n\r\n", ReadStatus::BAD_REQUEST},
        {"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789", ReadStatus::OK},
        {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
         ReadStatus::BAD_REQUEST},
        {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", ReadStatus::BAD_REQUEST},
        {"POST / HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc",
         ReadStatus::BAD_REQUEST},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", ReadStatus::BAD_REQUEST},
        // Chunk sizes count toward the limit together, before their data is read.
        {chunked + "8\r\n01234567\r\n8\r\n", ReadStatus::TOO_LARGE},
        {chunked + "\r\n", ReadStatus::BAD_REQUEST},
        {chunked + "4x\r\nabcd\r\n0\r\n\r\n", ReadStatus::BAD_REQUEST},
        {chunked + "2\r\nabcd\r\n0\r\n\r\n", ReadStatus::BAD_REQUEST},
        // Trailers obey the header limits too.
        {trailers + "\r\n", ReadStatus::BAD_REQUEST},
    };
    HTTPLimits limits;
    limits.max_body = 10;
    for (const auto& c : cases) {
        HTTPMessage message;
        EXPECT_EQ(read_request(c.text, message, limits), c.status) << c.text.substr(0, 60);
    }
    // An over-long body is refused from the head alone: its 11 bytes are never read.
    HTTPMessage message;
    std::istringstream over("POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n");
    EXPECT_EQ(message.read_head(over, true, limits), ReadStatus::TOO_LARGE);
}

TEST(HTTPMessageWriteTest, StartLineHeadersLengthAndLogForm) {
    HTTPMessage response;
    response.version = "HTTP/1.0";
    response.code = 404;
    response.reason = "Not found";
    response.headers.add_header("server", "gantry");
    // A value cannot smuggle in a field of its own.
    response.headers.add_header("x-injected", "a\r\nSet-Cookie: b");
    response.body = "nothing";
    const std::string head =
        "HTTP/1.0 404 Not found\r\nServer: gantry\r\nX-injected: a  Set-Cookie: b\r\n"
        "Content-Length: 7\r\n\r\n";
    EXPECT_EQ(response.to_string(), head + "nothing");
    // HEAD: the length of the body that is not sent.
    EXPECT_EQ(response.to_string(false), head);

    // A length or chunked framing the caller set is kept, not doubled.
    HTTPMessage request;
    request.method = "POST";
    request.url = "/soap";
    request.headers.add_header("Transfer-Encoding", "chunked");
    request.body = "0\r\n\r\n";
    EXPECT_EQ(request.to_string(),
              "POST /soap HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n");
    request.headers.clear_children();
    request.headers.add_header("content-length", "5");
    EXPECT_EQ(request.to_string(), "POST /soap HTTP/1.1\r\nContent-length: 5\r\n\r\n0\r\n\r\n");

    std::ostringstream log;
    log << request;
    request.body = std::string("\x01\x02\x03", 3);
    log << request;
    EXPECT_EQ(log.str(),
              "POST /soap HTTP/1.1\ncontent-length: 5\n0\r\n\r\n"
              "POST /soap HTTP/1.1\ncontent-length: 5\n[Binary data, 3 bytes]\n");
}

TEST(MIMEHeadersTest, LookupPutRemoveCopy) {
    MIMEHeaders headers;
    headers.add_header("set-cookie", "a");
    headers.add_header("set-cookie", "b");
    headers.put_header("Server", "one");
    headers.put_header("server", "two");
    EXPECT_EQ(headers.count_header("SET-COOKIE"), 2u);
    EXPECT_EQ(headers.get_header("set-cookie"), "a");
    EXPECT_EQ(headers.get_header("missing", "default"), "default");
    // Long values stay on one line: folding is obsolete and some clients reject it.
    const std::string list = std::string(40, 'x') + ", " + std::string(40, 'y') + " z";
    headers.add_header("allow", list);
    MIMEHeaders copy(headers);
    headers.remove_header("set-cookie");
    EXPECT_FALSE(headers.has_header("set-cookie"));
    std::string out;
    copy.write(out);
    EXPECT_EQ(out, "Set-cookie: a\r\nSet-cookie: b\r\nServer: two\r\nAllow: " + list + "\r\n");
}

}  // namespace
}  // namespace Gantry::Web
