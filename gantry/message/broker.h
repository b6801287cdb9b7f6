// Message::Broker: creates the handlers a "messages" element names and attaches each to the
// transports its children name:
//
//     <messages>
//       <capture-list><soap url="/capture-list"/><trellis subject="capture.list"/></capture-list>
//     </messages>
//
// Threading: the broker is not locked. Transports are added, handlers configured and everything
// shut down on one thread while no transport delivers requests.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gantry/message/handler.h"
#include "gantry/message/registry.h"
#include "gantry/message/transport.h"
#include "gantry/xml/element.h"

namespace Gantry::Message {

class Broker {
  public:
    explicit Broker(HandlerRegistry& registry = handler_registry()) : registry_(registry) {}
    // Deletes whatever shutdown() has not.
    ~Broker() { shutdown(); }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Files the transport under its name; several may share one.
    Transport& add_transport(std::unique_ptr<Transport> transport);

    // add_handler() for each child element of messages; each that fails is logged with
    // "Failed to create message handler from XML:" and its XML, and the rest go on.
    void configure(XML::Element& messages);

    // Creates the handler registered under the element's name and registers it with every
    // transport named by one of the element's children ("No matching message transport: "
    // and the name is logged for a name no transport has). False, creating nothing, when the
    // name is unknown or its factory gives no handler.
    bool add_handler(XML::Element& config);

    // Deletes every transport, then every handler.
    void shutdown();

    size_t handler_count() const { return handlers_.size(); }
    size_t transport_count(const std::string& name) const;

  private:
    HandlerRegistry& registry_;
    std::map<std::string, std::vector<std::unique_ptr<Transport>>> transports_;
    std::vector<std::unique_ptr<Handler>> handlers_;
};

}  // namespace Gantry::Message
