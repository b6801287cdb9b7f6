#include <gtest/gtest.h>

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
    ASSERT_EQ(read_request("GET /capture?id=7 HTTP/1.1\r\n"
                           "Host: example\r\n"
                           "X-Long:   first part\r\n"
                           "\t  second part\r\n"
                           "Connection:close\n"
                           "\r\n",
                           request),
              ReadStatus::OK);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.url.str(), "/capture?id=7");
    EXPECT_EQ(request.version, "HTTP/1.1");
    ASSERT_EQ(request.headers.children().size(), 3u);
    EXPECT_EQ(request.headers.get_child(0).name(), "host");
    EXPECT_EQ(request.headers.get_header("x-long"), "first part second part");
    EXPECT_EQ(request.headers.get_header("Connection"), "close");
    EXPECT_TRUE(request.body.empty());

    // A '$' start line ends the message at once.
    std::istringstream dollar("$ anything\r\nNot: a header\r\n");
    ASSERT_EQ(request.read(dollar, true), ReadStatus::OK);
    EXPECT_EQ(request.method, "$");
    EXPECT_TRUE(request.headers.children().empty());
    EXPECT_TRUE(request.body.empty());
}

TEST(HTTPMessageReadTest, BodiesByLengthAndByChunks) {
    HTTPMessage message;
    ASSERT_EQ(read_request("POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nhelloEXTRA", message),
              ReadStatus::OK);
    EXPECT_EQ(message.body, "hello");

    // Extensions after ';', upper-case hex, several chunks and trailer fields that are dropped;
    // the next request follows.
    std::istringstream in(
        "POST /x HTTP/1.1\r\ntransfer-encoding: Chunked\r\n\r\n"
        "4;name=value\r\nabcd\r\nA\r\n0123456789\r\n0\r\nX-Trailer: t\r\n\r\n"
        "GET /next HTTP/1.1\r\n\r\n");
    ASSERT_EQ(message.read(in, true), ReadStatus::OK);
    EXPECT_EQ(message.body, "abcd0123456789");
    EXPECT_FALSE(message.headers.has_header("x-trailer"));
    ASSERT_EQ(message.read(in, true), ReadStatus::OK);
    EXPECT_EQ(message.url.str(), "/next");

    // A body is read whatever the method, so its bytes are never taken for the next request.
    std::istringstream put("PUT /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET / HTTP/1.1\r\n\r\n");
    ASSERT_EQ(message.read(put, true), ReadStatus::OK);
    EXPECT_EQ(message.body, "abc");
    ASSERT_EQ(message.read(put, true), ReadStatus::OK);
    EXPECT_EQ(message.method, "GET");
}

TEST(HTTPMessageReadTest, ResponsesWithLengthAndToEndOfStream) {
    HTTPMessage response;
    std::istringstream framed("HTTP/1.1 404 Not found\r\nContent-Length: 3\r\n\r\nabcdef");
    ASSERT_EQ(response.read(framed, false), ReadStatus::OK);
    EXPECT_EQ(response.code, 404);
    EXPECT_EQ(response.reason, "Not found");
    EXPECT_EQ(response.version, "HTTP/1.1");
    EXPECT_FALSE(response.is_request());
    EXPECT_EQ(response.body, "abc");

    std::istringstream unframed("HTTP/1.0 200 OK\r\n\r\nall of the rest");
    ASSERT_EQ(response.read(unframed, false), ReadStatus::OK);
    EXPECT_EQ(response.body, "all of the rest");
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

TEST(HTTPMessageWriteTest, StartLineHeadersAndLength) {
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
}

TEST(HTTPMessageWriteTest, FoldingOfLongValues) {
    const std::string commas = std::string(40, 'x') + ", " + std::string(30, 'y');
    EXPECT_EQ(fold_header_value(commas), std::string(40, 'x') + ",\r\n " + std::string(30, 'y'));
    std::string twelve = "abcd";
    for (int i = 1; i < 12; ++i)
        twelve += " abcd";
    const std::string words = twelve + " abcd";
    EXPECT_EQ(fold_header_value(words), twelve + "\r\n abcd");
    EXPECT_EQ(fold_header_value(std::string(70, 'z')), std::string(70, 'z'));
    EXPECT_EQ(fold_header_value(std::string(60, 'z')), std::string(60, 'z'));
    // A comma beyond the first 60 characters is no break point; an earlier space is.
    const std::string late = "a " + std::string(70, 'b') + ", c";
    EXPECT_EQ(fold_header_value(late), "a\r\n " + std::string(70, 'b') + ", c");

    // Folded values read back as they were written.
    HTTPMessage message;
    message.method = "GET";
    message.url = "/";
    message.headers.add_header("x-list", commas + ", " + words);
    std::istringstream in(message.to_string());
    HTTPMessage read_back;
    ASSERT_EQ(read_back.read(in, true), ReadStatus::OK);
    EXPECT_EQ(read_back.headers.get_header("x-list"), commas + ", " + words);
}

TEST(HTTPMessageWriteTest, LogForm) {
    HTTPMessage message;
    message.method = "POST";
    message.url = "/x";
    message.headers.add_header("content-type", "text/plain");
    message.body = "hello\n";
    std::ostringstream text;
    text << message;
    EXPECT_EQ(text.str(), "POST /x HTTP/1.1\ncontent-type: text/plain\nhello\n");
    message.body = std::string("\x01\x02\x03", 3);
    std::ostringstream binary;
    binary << message;
    EXPECT_EQ(binary.str(), "POST /x HTTP/1.1\ncontent-type: text/plain\n[Binary data, 3 bytes]\n");
}

TEST(MIMEHeadersTest, LookupPutRemoveCopy) {
    MIMEHeaders headers;
    headers.add_header("set-cookie", "a");
    headers.add_header("set-cookie", "b");
    headers.put_header("Server", "one");
    headers.put_header("server", "two");
    EXPECT_EQ(headers.count_header("SET-COOKIE"), 2u);
    EXPECT_EQ(headers.get_header("set-cookie"), "a");
    EXPECT_EQ(headers.get_header("server"), "two");
    EXPECT_EQ(headers.get_header("missing", "default"), "default");
    MIMEHeaders copy(headers);
    headers.remove_header("set-cookie");
    EXPECT_FALSE(headers.has_header("set-cookie"));
    EXPECT_EQ(copy.count_header("set-cookie"), 2u);
    std::string out;
    copy.write(out);
    EXPECT_EQ(out, "Set-cookie: a\r\nSet-cookie: b\r\nServer: two\r\n");
}

}  // namespace
}  // namespace Gantry::Web
