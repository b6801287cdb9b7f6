// The control interface of the capture service: the settings of the bus client transport
// ("trellis"), the SOAP transport ("soap") and the request handlers ("messages"), and the message
// broker that joins them. The service configures it once in the worker before any capture is
// created and shuts it down first when it finishes, so no request reaches a capture that is being
// stopped.
//
// Threading: every operation runs on the service's main thread.
#pragma once

#include <memory>

#include "gantry/xml/element.h"

namespace Gantry::Message {
class Broker;
}
namespace Gantry::XML {
class Configuration;
}

namespace Corvid::Capture {

class Control {
  public:
    Control();
    ~Control();
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // Copies the three elements the configuration has; an absent one keeps the earlier copy.
    void apply_config(Gantry::XML::Configuration& configuration);
    // Creates the broker (and with it what the settings ask for). False if that failed.
    bool configure();
    // Stops the handlers and transports from taking requests.
    void shutdown_broker();
    void delete_transports();

    Gantry::Message::Broker* broker() { return broker_.get(); }
    const Gantry::XML::Element& trellis_settings() const { return trellis_; }
    const Gantry::XML::Element& soap_settings() const { return soap_; }
    const Gantry::XML::Element& message_settings() const { return messages_; }

  private:
    Gantry::XML::Element trellis_{"trellis"};
    Gantry::XML::Element soap_{"soap"};
    Gantry::XML::Element messages_{"messages"};
    std::unique_ptr<Gantry::Message::Broker> broker_;
};

}  // namespace Corvid::Capture
