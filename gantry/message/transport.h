// Message::Transport: one way for requests to reach handlers ("soap", "trellis"). The broker
// owns its transports and attaches handlers to them by name.
#pragma once

#include <string>
#include <utility>

#include "gantry/message/handler.h"
#include "gantry/xml/element.h"

namespace Gantry::Message {

class Transport {
  public:
    explicit Transport(std::string name) : name_(std::move(name)) {}
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Makes handler reachable through this transport. config is the handler element's child
    // named after the transport, carrying the transport's settings for this handler. The handler
    // outlives the transport's use of it: the broker deletes transports before handlers.
    virtual void register_handler(Handler& handler, XML::Element& config) = 0;
    virtual ~Transport() = default;

    const std::string& name() const { return name_; }

  private:
    const std::string name_;
};

}  // namespace Gantry::Message
