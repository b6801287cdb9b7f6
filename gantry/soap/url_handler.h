// SOAP::URLHandler: a URL handler of the HTTP server that takes SOAP envelopes by POST and
// answers with an envelope. A GET (or any method but POST) gets 405 "Method not allowed", a body
// that is not a SOAP envelope 400 "Bad Request"; each is logged at error level. Faults are sent
// with status 200.
//
// Given a description (a WSDL document), a GET whose query is "wsdl" (any case) is answered with
// it instead, "${location}" in it replaced by the URL the request was sent to, so that a client
// reading it posts to the same server by the same name.
//
// Responses carry the Content-Type a SOAP client expects of their envelope: "text/xml;
// charset=utf-8" for SOAP 1.1, "application/soap+xml; charset=utf-8" for SOAP 1.2.
//
// Threading: handle_message() runs concurrently on the server's workers. map_namespace() only
// before the handler is added to a server.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "gantry/net/ssl.h"
#include "gantry/soap/message.h"
#include "gantry/web/url_handler.h"

namespace Gantry::SOAP {

class URLHandler : public Web::URLHandler {
  public:
    explicit URLHandler(std::string pattern) : Web::URLHandler(std::move(pattern)) {}

    bool handle_request(Web::HTTPMessage& request, Web::HTTPMessage& response,
                        const SSL::ClientDetails& client) override;
    ~URLHandler() override = default;

    // Answers one valid envelope by filling response, a SOAP 1.1 envelope with an empty body.
    // False makes the server send 500 instead.
    virtual bool handle_message(Message& request, Message& response, Web::HTTPMessage& http_request,
                                Web::HTTPMessage& http_response,
                                const SSL::ClientDetails& client) = 0;

    // Requests are parsed with names in namespace uri given this prefix.
    void map_namespace(std::string uri, std::string prefix) { namespaces_[uri] = prefix; }

    // Only before the handler is added to a server; null: GET is refused like any other.
    void set_description(std::shared_ptr<const std::string> description) {
        description_ = std::move(description);
    }

  protected:
    // The description as served to a request sent to location.
    virtual std::string describe(const std::string& description, const std::string& location) const;
    // Every "${key}" in text replaced by value.
    static std::string substitute(std::string text, std::string_view key, std::string_view value);

    // Makes a fault the response, logging "SOAP Fault: " with its code name and reason.
    static void send_fault(Message& response, int code, std::string_view reason);

  private:
    NamespaceMap namespaces_;
    std::shared_ptr<const std::string> description_;
};

}  // namespace Gantry::SOAP
