// The bus transport of the message framework ("trellis"): each handler registered with it is
// served by a subscriber to its subject followed by ".request":
//
//   request:  body prefix:name-request (any prefix the sender binds to the handler's namespace)
//   answers:  "trellis.fault" with a SOAP fault, code env:Sender, for a request of another name
//             ("Bad document name") or the handler's error text; else, for a handler that
//             responds, subject S".response" with body prefix:name-response, and "trellis.ok"
//             with body x:ok for one that does not. Every answer carries x:ref = the request's id.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gantry/message/handler.h"
#include "gantry/message/source_context.h"
#include "gantry/message/transport.h"
#include "gantry/trellis/message.h"
#include "gantry/trellis/multi_client.h"
#include "gantry/trellis/subscriber.h"

namespace Gantry::Trellis {

// The handler's source context: "#trellis", port -1 and the request message.
class MessageSource : public Gantry::Message::SourceContext {
  public:
    explicit MessageSource(const Message& message)
        : SourceContext("#trellis", -1), message_(message) {}
    const Message& message() const { return message_; }

  private:
    const Message& message_;
};

class MessageTransportSubscriber : public Subscriber {
  public:
    // subject: the request subject, without ".request". handler (not owned) must outlive it.
    MessageTransportSubscriber(MultiClient& client, const std::string& subject,
                               Gantry::Message::Handler& handler);
    ~MessageTransportSubscriber() override = default;

    void handle(const Message& message) override;

  private:
    void reply(std::unique_ptr<Message> answer);

    Gantry::Message::Handler& handler_;
    const std::string response_subject_;
};

// Owns its subscribers, and disconnects them when deleted (before the broker deletes the
// handlers). The client must outlive it.
class MessageTransport : public Gantry::Message::Transport {
  public:
    explicit MessageTransport(MultiClient& client) : Transport("trellis"), client_(client) {}
    ~MessageTransport() override;

    // Subscribes the handler to the "subject" attribute of config followed by ".request".
    void register_handler(Gantry::Message::Handler& handler, XML::Element& config) override;

  private:
    MultiClient& client_;
    std::vector<std::unique_ptr<MessageTransportSubscriber>> subscribers_;
};

}  // namespace Gantry::Trellis
