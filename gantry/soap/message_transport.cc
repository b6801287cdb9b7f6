#include "gantry/soap/message_transport.h"

#include <string>
#include <utility>

#include "gantry/soap/fault.h"

namespace Gantry::SOAP {

MessageTransportURLHandler::MessageTransportURLHandler(
    std::string pattern, Gantry::Message::Handler& handler,
    std::shared_ptr<const std::string> description)
    : URLHandler(std::move(pattern)), handler_(handler) {
    set_description(std::move(description));
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

std::string MessageTransportURLHandler::describe(const std::string& description,
                                                 const std::string& location) const {
    return URLHandler::describe(substitute(description, "name", handler_.name()), location);
}

MessageTransport::MessageTransport(std::weak_ptr<Web::SimpleHTTPServer> server,
                                   std::shared_ptr<const std::string> description)
    : Transport("soap"), server_(std::move(server)), description_(std::move(description)) {}

MessageTransport::~MessageTransport() {
    if (auto server = server_.lock()) {
        for (Web::URLHandler* handler : registered_)
            server->remove(*handler);
    }
}

void MessageTransport::register_handler(Gantry::Message::Handler& handler, XML::Element& config) {
    auto server = server_.lock();
    if (!server) return;
    registered_.push_back(&server->add(std::make_unique<MessageTransportURLHandler>(
        config.get_attr("url"), handler, description_)));
}

}  // namespace Gantry::SOAP
