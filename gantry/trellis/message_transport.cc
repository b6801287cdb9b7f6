#include "gantry/trellis/message_transport.h"

#include "gantry/soap/fault.h"

namespace Gantry::Trellis {

MessageTransportSubscriber::MessageTransportSubscriber(MultiClient& client,
                                                       const std::string& subject,
                                                       Gantry::Message::Handler& handler)
    : Subscriber(client, subject + ".request"),
      handler_(handler),
      response_subject_(subject + ".response") {}

void MessageTransportSubscriber::handle(const Message& message) {
    const XML::Element& request = message.content();
    if (!handler_.name().empty() && request.name() != handler_.request_element_name()) {
        reply(Message::fault(SOAP::Fault::SENDER, "Bad document name", message.id()));
        return;
    }
    auto response =
        std::make_unique<XML::Element>(handler_.prefix() + ":" + handler_.name() + "-response");
    response->set_attr("xmlns:" + handler_.prefix(), handler_.namespace_uri());
    const std::string error = handler_.handle(request, MessageSource(message), *response);
    if (!error.empty()) {
        reply(Message::fault(SOAP::Fault::SENDER, error, message.id()));
    } else if (handler_.responds()) {
        reply(
            std::make_unique<Message>(response_subject_, std::move(response), false, message.id()));
    } else {
        reply(Message::ok(message.id()));
    }
}

void MessageTransportSubscriber::reply(std::unique_ptr<Message> answer) {
    client().send(*answer);
}

MessageTransport::~MessageTransport() {
    for (auto& subscriber : subscribers_)
        subscriber->disconnect();
}

void MessageTransport::register_handler(Gantry::Message::Handler& handler, XML::Element& config) {
    if (!handler.namespace_uri().empty())
        client_.map_namespace(handler.namespace_uri(), handler.prefix());
    subscribers_.push_back(
        std::make_unique<MessageTransportSubscriber>(client_, config.get_attr("subject"), handler));
    subscribers_.back()->connect();
}

}  // namespace Gantry::Trellis
