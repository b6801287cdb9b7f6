#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <latch>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gantry/web/http_message.h"
#include "gantry/web/url.h"

namespace Gantry::Web {
namespace {

// What is left in the stream after a message is the next one; bad input is tested on the wire.
TEST(HTTPMessageReadTest, HeadersAndBodiesEndWhereTheirFramingSays) {
    const struct {
        bool request;
        std::string text, message, rest;
    } cases[] = {
        {true, "GET /c?id=7 HTTP/1.1\r\nHost: h\r\nX-Long:   a\r\n\t  b\r\nConnection:close\n\r\nX",
         "GET /c?id=7 HTTP/1.1|host: h|x-long: a b|connection: close|", "X"},
        {true, "\r\n\r\nPOST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nhelloEXTRA",
         "POST /x HTTP/1.0|content-length: 5|hello", "EXTRA"},
        {true,
         "PUT /x HTTP/1.1\r\ntransfer-encoding: Chunked\r\n\r\n4;n=v\r\nabcd\r\nA\r\n0123456789"
         "\r\n0\r\nX-Trailer: t\r\n\r\nGET /next",
         "PUT /x HTTP/1.1|transfer-encoding: Chunked|abcd0123456789", "GET /next"},
        {false, "HTTP/1.0 404 Not found\r\n\r\nall of the rest",
         "HTTP/1.0 404 Not found|all of the rest", ""},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        HTTPMessage message;
        ASSERT_EQ(message.read(in, c.request), ReadStatus::OK) << c.text;
        std::string seen = message.start_line() + "|";
        for (const auto& header : message.headers.children())
            seen += header->name() + ": " + header->content() + "|";
        EXPECT_EQ(seen + message.body, c.message);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.rest) << c.text;
    }
}

TEST(HTTPMessageWriteTest, HeadersOnOneLineNoInjectionFramingKept) {
    HTTPMessage response;
    response.version = "HTTP/1.0";
    response.code = 404;
    response.reason = "Not found";
    response.headers.put_header("server", "one");
    response.headers.put_header("Server", "gantry");
    // No field of its own smuggled in, and no folding however long (some clients reject it).
    response.headers.add_header("x-injected", "a\r\nSet-Cookie: b" + std::string(80, 'c'));
    response.body = "nothing";
    const std::string head =
        "HTTP/1.0 404 Not found\r\nServer: gantry\r\nX-injected: a  Set-Cookie: b" +
        std::string(80, 'c') + "\r\nContent-Length: 7\r\n\r\n";
    EXPECT_EQ(response.to_string(), head + "nothing");
    EXPECT_EQ(response.to_string(false), head);  // HEAD: the length of the body not sent

    // A length or chunked framing the caller set is kept, not doubled; names ignore case.
    HTTPMessage request;
    request.method = "POST";
    request.url = "/soap";
    request.headers.add_header("Transfer-Encoding", "chunked");
    request.body = "0\r\n\r\n";
    EXPECT_EQ(request.to_string(),
              "POST /soap HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n");
    request.headers.remove_header("TRANSFER-encoding");
    request.headers.add_header("content-length", "5");
    EXPECT_EQ(request.to_string(), "POST /soap HTTP/1.1\r\nContent-length: 5\r\n\r\n0\r\n\r\n");
}

TEST(URLTest, SplitsIntoThePartsPresent) {
    const char* cases[][2] = {
        {"http://u:p@h.com:8080/a/b?x=1&y=2#t",
         "scheme=http user=u password=p host=h.com port=8080 path=/a/b query=x=1&y=2 fragment=t"},
        {"/x?", "path=/x query="},
    };
    for (const auto& [text, expected] : cases) {
        URL url("/before");
        EXPECT_EQ(url.path(), "/before");
        url = URL(text);  // splits its own text, not the one split before
        const URL copy(url);
        std::string parts;
        for (const auto& part : copy.split().children())
            parts += (parts.empty() ? "" : " ") + part->name() + "=" + part->content();
        EXPECT_EQ(parts, expected) << text;
    }
    EXPECT_EQ(URL("http://h:8080/").port() + URL("http://h:99999/").port() +
                  URL("http://h:8x/").port() + URL("/c").port(),
              8080);
}

// Threads reading one URL share one split, whichever of them makes it (run under TSan).
TEST(URLTest, ThreadsShareOneSplit) {
    for (int round = 0; round < 200; ++round) {
        const URL url("http://host:81/" + std::string(10000, 'p'));  // slow enough to overlap
        std::vector<const XML::Element*> seen(4);
        std::vector<std::jthread> readers;
        std::latch start(4);  // all split at once, so a lost compare-and-swap shows
        for (size_t i = 0; i < seen.size(); ++i)
            readers.emplace_back([&, i] {
                start.arrive_and_wait();
                seen[i] = url.port() == 81 ? &url.split() : nullptr;  // reads the parts too
            });
        readers.clear();
        EXPECT_EQ(std::count(seen.begin(), seen.end(), &url.split()), 4);
    }
}

TEST(URLTest, EncodingAndDecodingInBothModes) {
    // '+' is a space only in forms; malformed escapes stay as they are, nothing read past the end.
    EXPECT_EQ(URL::encode("a b") + URL::encode("a b", true) + URL::decode("a+b%C3%a9|a+b", true),
              "a%20ba+ba b\xc3\xa9|a b");
    EXPECT_EQ(URL::decode("a+b|100%") + URL::decode("%4") + URL::decode("%zz"), "a+b|100%%4%zz");
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    EXPECT_EQ(URL::decode(URL::encode(all)) + URL::decode(URL::encode(all, true), true), all + all);
}

}  // namespace
}  // namespace Gantry::Web
