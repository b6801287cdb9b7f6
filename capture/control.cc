#include "capture/control.h"

#include "gantry/message/broker.h"
#include "gantry/xml/configuration.h"

namespace Corvid::Capture {

namespace XML = Gantry::XML;

Control::Control() = default;

Control::~Control() = default;

void Control::apply_config(XML::Configuration& configuration) {
    for (XML::Element* member : {&trellis_, &soap_, &messages_})
        if (const XML::Element* element = configuration.get_element(member->name()))
            element->copy_to(*member);
}

bool Control::configure() {
    // Transports and handlers join the broker here once their modules are wired in; until then
    // the service runs without a control interface.
    broker_ = std::make_unique<Gantry::Message::Broker>();
    return true;
}

void Control::shutdown_broker() {
    if (broker_) broker_->shutdown();
}

void Control::delete_transports() {}

}  // namespace Corvid::Capture
