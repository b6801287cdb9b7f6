#include "gantry/soap/message_transport.h"

#include <string>
#include <utility>

#include "gantry/soap/fault.h"

namespace Gantry::SOAP {

MessageTransportURLHandler::MessageTransportURLHandler(std::string pattern,
                                                       Gantry::Message::Handler& handler)
    : URLHandler(std::move(pattern)), handler_(handler) {
    // The request element then has the handler's prefix whatever prefix the client bound.
    if (!handler.namespace_uri().empty()) map_namespace(handler.namespace_uri(), handler.prefix());
}

bool MessageTransportURLHandler::handle_message(Message& request, Message& response,
                                                Web::HTTPMessage&, Web::HTTPMessage&,
                                                const SSL::ClientDetails& client) {
    const XML::Element& document = request.first_body_element();
    if (!handler_.name().empty() && document.name() != handler_.request_element_name()) {
        send_fault(response, Fault::SENDER, "Bad document name");
        return true;
    }
    std::unique_ptr<XML::Element> answer = handler_.create_response();
    const std::string error = handler_.handle(document, ClientSource(client), *answer);
    if (!error.empty()) {
        send_fault(response, Fault::SENDER, error);
    } else {
        response.add_body_element(std::move(answer));
    }
    return true;
}

MessageTransport::MessageTransport(std::weak_ptr<Web::SimpleHTTPServer> server)
    : Transport("soap"), server_(std::move(server)) {}

MessageTransport::~MessageTransport() {
    if (auto server = server_.lock()) {
        for (Web::URLHandler* handler : registered_)
            server->remove(*handler);
    }
}

void MessageTransport::register_handler(Gantry::Message::Handler& handler, XML::Element& config) {
    auto server = server_.lock();
    if (!server) return;
    registered_.push_back(&server->add(
        std::make_unique<MessageTransportURLHandler>(config.get_attr("url"), handler)));
}

}  // namespace Gantry::SOAP
