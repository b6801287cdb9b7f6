// Web::SimpleHTTPServer: an HTTP server that hands each request to the first registered URL
// handler whose pattern matches the request's path, or answers 404 "Not found".
#pragma once

#include <memory>
#include <vector>

#include "gantry/mt/annotations.h"
#include "gantry/mt/read_write_lock.h"
#include "gantry/web/http_server.h"
#include "gantry/web/url_handler.h"

namespace Gantry::Web {

class SimpleHTTPServer : public HTTPServer {
  public:
    using HTTPServer::HTTPServer;
    ~SimpleHTTPServer() override;

    // Appends a handler (after those already there); the server owns it. Safe while serving.
    URLHandler& add(std::unique_ptr<URLHandler> handler) GANTRY_EXCLUDES(handlers_lock_);
    // Removes and deletes a handler; waits for requests it is answering to finish.
    void remove(URLHandler& handler) GANTRY_EXCLUDES(handlers_lock_);

    bool handle_request(HTTPMessage& request, HTTPMessage& response,
                        const SSL::ClientDetails& client) override GANTRY_EXCLUDES(handlers_lock_);

  private:
    MT::ReadWriteLock handlers_lock_;
    std::vector<std::unique_ptr<URLHandler>> handlers_ GANTRY_GUARDED_BY(handlers_lock_);
};

}  // namespace Gantry::Web
