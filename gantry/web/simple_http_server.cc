#include "gantry/web/simple_http_server.h"

#include <algorithm>

#include "gantry/text/text.h"

namespace Gantry::Web {

bool URLHandler::matches(const std::string& path) const {
    return Text::wildcard_match(pattern_, path, true);
}

SimpleHTTPServer::~SimpleHTTPServer() {
    // Workers call handle_request(), which uses the handler list: stop them first.
    shutdown();
}

URLHandler& SimpleHTTPServer::add(std::unique_ptr<URLHandler> handler) {
    MT::WriteGuard guard(handlers_lock_);
    handlers_.push_back(std::move(handler));
    return *handlers_.back();
}

void SimpleHTTPServer::remove(URLHandler& handler) {
    std::unique_ptr<URLHandler> removed;
    {
        MT::WriteGuard guard(handlers_lock_);
        const auto found = std::find_if(handlers_.begin(), handlers_.end(),
                                        [&](const auto& entry) { return entry.get() == &handler; });
        if (found == handlers_.end()) return;
        removed = std::move(*found);
        handlers_.erase(found);
    }
}

bool SimpleHTTPServer::handle_request(HTTPMessage& request, HTTPMessage& response,
                                      const SSL::ClientDetails& client) {
    const std::string path = request.url.path();
    {
        MT::ReadGuard guard(handlers_lock_);
        for (const auto& handler : handlers_)
            if (handler->matches(path)) return handler->handle_request(request, response, client);
    }
    return error(response, 404, "Not found");
}

}  // namespace Gantry::Web
