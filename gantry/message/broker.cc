#include "gantry/message/broker.h"

#include "gantry/log/log.h"

namespace Gantry::Message {

Transport& Broker::add_transport(std::unique_ptr<Transport> transport) {
    auto& list = transports_[transport->name()];
    list.push_back(std::move(transport));
    return *list.back();
}

void Broker::configure(XML::Element& messages) {
    for (const auto& child : messages.children()) {
        if (child->name().empty()) continue;
        if (!add_handler(*child))
            Log::Error() << "Failed to create message handler from XML:\n" << *child;
    }
}

bool Broker::add_handler(XML::Element& config) {
    std::unique_ptr<Handler> handler = registry_.create(config.name(), config);
    if (!handler) return false;
    Handler& added = *handlers_.emplace_back(std::move(handler));
    for (const auto& child : config.children()) {
        if (child->name().empty()) continue;
        auto found = transports_.find(child->name());
        if (found == transports_.end() || found->second.empty()) {
            Log::Error() << "No matching message transport: " << child->name() << std::endl;
            continue;
        }
        for (const auto& transport : found->second)
            transport->register_handler(added, *child);
    }
    return true;
}

void Broker::shutdown() {
    // Transports first: they may still refer to the handlers.
    transports_.clear();
    handlers_.clear();
}

size_t Broker::transport_count(const std::string& name) const {
    auto found = transports_.find(name);
    return found == transports_.end() ? 0 : found->second.size();
}

}  // namespace Gantry::Message
