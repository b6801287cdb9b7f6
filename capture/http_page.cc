#include "capture/http_page.h"

#include "gantry/web/http_server.h"

namespace Corvid::Capture {

namespace Web = Gantry::Web;

namespace {

std::string_view content_type(std::string_view name) {
    const auto ends = [&](std::string_view suffix) { return name.ends_with(suffix); };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    return "text/plain; charset=utf-8";
}

}  // namespace

bool PageHandler::handle_request(Web::HTTPMessage& request, Web::HTTPMessage& response,
                                 const Gantry::SSL::ClientDetails&) {
    if (request.method != "GET" && request.method != "HEAD")
        return Web::HTTPServer::error(response, 405, "Method not allowed");
    const std::string path = request.url.path();
    std::string_view name = path;
    if (name == "/" || name == "/page" || name == "/page/")
        name = "index.html";
    else if (name.starts_with("/page/"))
        name.remove_prefix(std::string_view("/page/").size());
    else
        return Web::HTTPServer::error(response, 404, "Not found");
    for (const EmbeddedFile& file : page_files()) {
        if (file.name != name) continue;
        response.headers.put_header("content-type", std::string(content_type(name)));
        // A new daemon's page must not be mixed with an old one's files from a cache.
        response.headers.put_header("cache-control", "no-cache");
        response.headers.put_header("x-content-type-options", "nosniff");
        // Only the daemon's own files run, and the player's media come from the daemon or
        // from hls.js's buffers (blob URLs); the page's empty icon is a data URL, so that
        // browsers do not ask for /favicon.ico.
        response.headers.put_header("content-security-policy",
                                    "default-src 'self'; img-src 'self' data:; "
                                    "media-src 'self' blob:; "
                                    "worker-src 'self' blob:; object-src 'none'; "
                                    "frame-ancestors 'none'");
        if (request.method == "HEAD")
            response.headers.put_header("content-length", std::to_string(file.content.size()));
        else
            response.body.assign(file.content);
        return true;
    }
    return Web::HTTPServer::error(response, 404, "Not found");
}

}  // namespace Corvid::Capture
