// Who sent a request, as far as its transport can tell. Handlers may log it; none depends on it.
#pragma once

#include <string>
#include <utility>

namespace Gantry::Message {

class SourceContext {
  public:
    // source: "#trellis" for the bus; the client's end point ("10.1.2.3:40312") for HTTP.
    // port: the client's port, or -1 for a transport without one.
    explicit SourceContext(std::string source, int port = -1)
        : source_(std::move(source)), port_(port) {}
    // Transports derive their own contexts with further details.
    virtual ~SourceContext() = default;

    const std::string& source() const { return source_; }
    int port() const { return port_; }

  private:
    std::string source_;
    int port_;
};

}  // namespace Gantry::Message
