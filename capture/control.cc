#include "capture/control.h"

#include "capture/wsdl/wsdl.h"
#include "gantry/message/broker.h"
#include "gantry/soap/server.h"
#include "gantry/trellis/trellis.h"
#include "gantry/xml/configuration.h"

namespace Corvid::Capture {

namespace XML = Gantry::XML;

Control::Control() = default;

Control::~Control() {
    shutdown_broker();
    delete_transports();
}

void Control::apply_config(XML::Configuration& configuration) {
    for (XML::Element* member : {&trellis_, &soap_, &messages_})
        if (const XML::Element* element = configuration.get_element(member->name()))
            element->copy_to(*member);
}

bool Control::configure() {
    std::vector<std::string> names;
    for (const auto& child : messages_.children())
        names.push_back(child->name());
    broker_ = std::make_unique<Gantry::Message::Broker>(
        counts_.wrap(Gantry::Message::handler_registry(), names));
    bus_ = Gantry::Trellis::start(trellis_, *broker_);
    soap_server_ = std::make_unique<Gantry::SOAP::Server>(soap_, *broker_, SOAP_SERVER_NAME,
                                                          nullptr, wsdl_document());
    if (soap_server_->end_points().empty()) soap_server_.reset();
    broker_->configure(messages_);
    return true;
}

void Control::shutdown_broker() {
    if (broker_) broker_->shutdown();
}

void Control::delete_transports() {
    if (bus_) bus_->shutdown();
    bus_.reset();
    soap_server_.reset();
}

}  // namespace Corvid::Capture
