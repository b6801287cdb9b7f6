// The control interface of the capture service: the settings of the bus client transport
// ("trellis"), the SOAP transport ("soap") and the request handlers ("messages"), and the message
// broker that joins them. The service configures it once in the worker before any capture is
// created and shuts it down first when it finishes, so no request reaches a capture that is being
// stopped.
//
// Threading: every operation runs on the service's main thread.
#pragma once

#include <memory>

#include "capture/http_requests.h"
#include "gantry/xml/element.h"

namespace Gantry::Message {
class Broker;
}
namespace Gantry::SOAP {
class Server;
}
namespace Gantry::Trellis {
class MultiClient;
}
namespace Gantry::XML {
class Configuration;
}

namespace Corvid::Capture {

class Control {
  public:
    // The "server" header of every SOAP response.
    static constexpr const char* SOAP_SERVER_NAME = "Corvid captured SOAP server";

    Control();
    ~Control();
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // Copies the three elements the configuration has; an absent one keeps the earlier copy.
    void apply_config(Gantry::XML::Configuration& configuration);
    // Creates the broker, the bus client (with a "server/@host" in the "trellis" settings), the
    // SOAP server (with a port in the "soap" settings, serving the WSDL at each handler's URL
    // with "?wsdl") and the handlers "messages" names. Always true: what cannot be created is
    // logged and left out.
    bool configure();
    // Stops the handlers and transports from taking requests.
    void shutdown_broker();
    // Then the bus client and the SOAP server go.
    void delete_transports();

    Gantry::Message::Broker* broker() { return broker_.get(); }
    // Null when no SOAP server runs.
    Gantry::SOAP::Server* soap_server() { return soap_server_.get(); }
    const Gantry::XML::Element& trellis_settings() const { return trellis_; }
    const Gantry::XML::Element& soap_settings() const { return soap_; }
    const Gantry::XML::Element& message_settings() const { return messages_; }
    // Requests and faults of the handlers, per request name and transport.
    const RequestCounts& request_counts() const { return counts_; }

  private:
    Gantry::XML::Element trellis_{"trellis"};
    Gantry::XML::Element soap_{"soap"};
    Gantry::XML::Element messages_{"messages"};
    RequestCounts counts_;  // before the broker, whose handlers count into it
    std::unique_ptr<Gantry::Message::Broker> broker_;
    std::unique_ptr<Gantry::Trellis::MultiClient> bus_;
    std::unique_ptr<Gantry::SOAP::Server> soap_server_;
};

}  // namespace Corvid::Capture
