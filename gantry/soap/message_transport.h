// The SOAP transport of the message framework: each handler registered with it answers the
// envelopes posted to its URL on one HTTP server.
//
//   request body:  env:Body/prefix:name-request (any prefix the client binds to the namespace)
//   answer:        env:Body/prefix:name-response, or prefix:ok for handlers that only
//                  acknowledge, in a SOAP 1.1 envelope; a SOAP 1.2 fault (code Sender) for a
//                  request of another name ("Bad document name") or the handler's error text.
#pragma once

#include <memory>
#include <vector>

#include "gantry/message/handler.h"
#include "gantry/message/transport.h"
#include "gantry/soap/url_handler.h"
#include "gantry/web/simple_http_server.h"

namespace Gantry::SOAP {

// The handler's source context: the HTTP client's end point and port, and its details.
class ClientSource : public Gantry::Message::SourceContext {
  public:
    explicit ClientSource(const SSL::ClientDetails& client)
        : SourceContext(client.end_point.str(), client.end_point.port()), client_(client) {}
    const SSL::ClientDetails& client() const { return client_; }

  private:
    const SSL::ClientDetails& client_;
};

class MessageTransportURLHandler : public URLHandler {
  public:
    // handler (not owned) must outlive this URL handler. description, if any, is served with
    // "${name}" standing for the handler's request name as well as "${location}".
    MessageTransportURLHandler(std::string pattern, Gantry::Message::Handler& handler,
                               std::shared_ptr<const std::string> description = nullptr);
    ~MessageTransportURLHandler() override = default;

    bool handle_message(Message& request, Message& response, Web::HTTPMessage& http_request,
                        Web::HTTPMessage& http_response, const SSL::ClientDetails& client) override;

    Gantry::Message::Handler& handler() const { return handler_; }

  protected:
    std::string describe(const std::string& description,
                         const std::string& location) const override;

  private:
    Gantry::Message::Handler& handler_;
};

// Named "soap". Registers one MessageTransportURLHandler per handler on its server, under the
// URL pattern of the handler's "url" attribute, and takes them off the server again when
// destroyed (before the broker deletes the handlers). The server is not owned; if it is gone
// first, its URL handlers went with it. Each URL handler serves the description, if one is given.
class MessageTransport : public Gantry::Message::Transport {
  public:
    explicit MessageTransport(std::weak_ptr<Web::SimpleHTTPServer> server,
                              std::shared_ptr<const std::string> description = nullptr);
    ~MessageTransport() override;

    void register_handler(Gantry::Message::Handler& handler, XML::Element& config) override;

  private:
    std::weak_ptr<Web::SimpleHTTPServer> server_;
    std::shared_ptr<const std::string> description_;
    std::vector<Web::URLHandler*> registered_;
};

}  // namespace Gantry::SOAP
